// SPDX-License-Identifier: GPL-2.0
/*
 * A careless module, one carelessness per value of mode, for the checks of
 * what the system calls do about it:
 *
 *   big_answer      start answers 1 << 32, which a caller narrowing to int
 *                   would take for 0
 *   fail_init       registers, then fails its init without unregistering
 *   unregister_own  stop unregisters the operations from inside itself
 *                   (refused; the exit unregisters them)
 *   no_owner        registers operations without .owner
 *   unregister_idle its init unregisters operations it never registered,
 *                   while a call may be inside another module's
 *   unregister_locked
 *                   start takes careless_lock, and the exit unregisters
 *                   while holding it: a deadlock once a call is inside
 *                   start, which lockdep reports
 */
#include <linux/cabgate.h>
#include <linux/errno.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/string.h>

static char *mode = "big_answer";
module_param(mode, charp, 0444);
MODULE_PARM_DESC(mode, "the carelessness");

static struct cabgate_ops careless_ops;
static DEFINE_MUTEX(careless_lock);

static long careless_start(void)
{
	if (!strcmp(mode, "big_answer"))
		return 1L << 32;
	mutex_lock(&careless_lock);
	mutex_unlock(&careless_lock);
	return 0;
}

static long careless_request(int type, int start_floor, int dest_floor)
{
	return 0;
}

static long careless_stop(void)
{
	if (!strcmp(mode, "unregister_own"))
		cabgate_unregister_ops(&careless_ops);
	return 0;
}

static struct cabgate_ops careless_ops = {
	.owner = THIS_MODULE,
	.start = careless_start,
	.request = careless_request,
	.stop = careless_stop,
};

static int __init careless_init(void)
{
	int ret;

	if (!strcmp(mode, "unregister_idle")) {
		cabgate_unregister_ops(&careless_ops);
		return 0;
	}
	if (!strcmp(mode, "no_owner"))
		careless_ops.owner = NULL;
	ret = cabgate_register_ops(&careless_ops);
	if (ret)
		return ret;
	if (!strcmp(mode, "fail_init"))
		return -ENODEV;
	return 0;
}

static void __exit careless_exit(void)
{
	if (!strcmp(mode, "unregister_idle"))
		return;
	if (!strcmp(mode, "unregister_locked"))
		mutex_lock(&careless_lock);
	cabgate_unregister_ops(&careless_ops);
	if (!strcmp(mode, "unregister_locked"))
		mutex_unlock(&careless_lock);
}

module_init(careless_init);
module_exit(careless_exit);
MODULE_DESCRIPTION("Uses the cabgate system calls carelessly");
MODULE_LICENSE("GPL");
