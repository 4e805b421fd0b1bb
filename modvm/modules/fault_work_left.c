// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: the exit leaves its delayed work armed. */
#define FAULT_WORK_LEFT
#include "elevator.c"
