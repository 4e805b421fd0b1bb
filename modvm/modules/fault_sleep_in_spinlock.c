// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: the car sleeps with a spinlock held. */
#define FAULT_SLEEP_IN_SPINLOCK
#include "elevator.c"
