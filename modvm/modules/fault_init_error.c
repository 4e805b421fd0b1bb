// SPDX-License-Identifier: GPL-2.0
/*
 * The elevator with one fault: when registering fails, the init returns
 * without undoing what it did (the thread, the work, /proc/elevator).
 */
#define FAULT_INIT_ERROR
#include "elevator.c"
