// SPDX-License-Identifier: GPL-2.0
/*
 * Panics as it loads: shows that a guest that dies is a failure with the
 * kernel's last lines, not a hang.
 */
#include <linux/kernel.h>
#include <linux/module.h>

static int __init crash_test_init(void)
{
	panic("modvm: crash test");
	return 0;
}

module_init(crash_test_init);
MODULE_DESCRIPTION("Panics as it loads");
MODULE_LICENSE("GPL");
