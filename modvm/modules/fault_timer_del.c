// SPDX-License-Identifier: GPL-2.0
/*
 * The elevator with one fault: the exit stops its self-rearming timer
 * with del_timer(), which does not wait for a callback running elsewhere.
 */
#define FAULT_TIMER_DEL
#include "elevator.c"
