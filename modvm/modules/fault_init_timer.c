// SPDX-License-Identifier: GPL-2.0
/*
 * The elevator with one fault: a timer armed in init, in memory of its own,
 * is left armed when init fails, and fires a second later into the freed
 * module.
 */
#define FAULT_INIT_TIMER
#include "elevator.c"
