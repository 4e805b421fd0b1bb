// SPDX-License-Identifier: GPL-2.0
/*
 * The elevator with one fault: requests take the two mutexes in the
 * opposite order to the car.
 */
#define FAULT_LOCK_ORDER
#include "elevator.c"
