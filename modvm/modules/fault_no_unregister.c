// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: the exit does not unregister the operations. */
#define FAULT_NO_UNREGISTER
#include "elevator.c"
