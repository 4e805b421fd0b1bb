// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: its init writes one past an array's end. */
#define FAULT_INIT_OVERFLOW
#include "elevator.c"
