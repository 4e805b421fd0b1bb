// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: the exit frees no passenger. */
#define FAULT_LEAK
#include "elevator.c"
