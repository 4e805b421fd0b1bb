// SPDX-License-Identifier: GPL-2.0
/* The elevator with one fault: refuses a request with -EINVAL instead of 1. */
#define FAULT_EINVAL
#include "elevator.c"
