// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: requests add to the waiting list without its lock. */
#define FAULT_UNLOCKED_LIST
#include "elevator.c"
