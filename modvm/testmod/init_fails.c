// SPDX-License-Identifier: GPL-2.0
/*
 * Fails its init: shows that a module that does not load is a failure of
 * the run, not a command run against no module.
 */
#include <linux/errno.h>
#include <linux/module.h>

static int __init init_fails_init(void)
{
	return -ENODEV;
}

module_init(init_fails_init);
MODULE_DESCRIPTION("Fails to load");
MODULE_LICENSE("GPL");
