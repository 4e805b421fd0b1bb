// SPDX-License-Identifier: GPL-2.0
/*
 * The elevator with one fault: the exit stops the car's thread but never
 * puts the reference its init took, so the thread's task_struct is never
 * freed.
 */
#define FAULT_TASK_REF
#include "elevator.c"
