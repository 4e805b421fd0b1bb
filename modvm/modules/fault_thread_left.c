// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: the exit leaves the car's thread running. */
#define FAULT_THREAD_LEFT
#include "elevator.c"
