// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: counts a delivered passenger after freeing it. */
#define FAULT_USE_AFTER_FREE
#include "elevator.c"
