// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: reading /proc/elevator ignores count. */
#define FAULT_PROC_COUNT
#include "elevator.c"
