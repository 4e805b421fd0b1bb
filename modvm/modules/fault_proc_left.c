// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: the exit leaves /proc/elevator behind. */
#define FAULT_PROC_LEFT
#include "elevator.c"
