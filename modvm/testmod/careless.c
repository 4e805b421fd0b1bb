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
 *   unregister_twice
 *                   start stays inside for two seconds; the first request
 *                   meanwhile has two threads unregister the operations at
 *                   once, and answers 0 (any other request, 1).
 *                   The exit says whether either returned while the call
 *                   was inside ("careless: an unregister returned with a
 *                   call inside") or neither did ("careless: both
 *                   unregisters waited for the call")
 */
#include <linux/cabgate.h>
#include <linux/atomic.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/errno.h>
#include <linux/kthread.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/string.h>

static char *mode = "big_answer";
module_param(mode, charp, 0444);
MODULE_PARM_DESC(mode, "the carelessness");

static struct cabgate_ops careless_ops;
static DEFINE_MUTEX(careless_lock);

/* unregister_twice: whether a call is inside start, and what came early. */
static atomic_t inside_start;
static atomic_t early_returns;
static atomic_t unregisters_started;
static struct completion unregistered[2];

static long careless_start(void)
{
	if (!strcmp(mode, "big_answer"))
		return 1L << 32;
	if (!strcmp(mode, "unregister_twice")) {
		atomic_set(&inside_start, 1);
		msleep(2000);
		atomic_set(&inside_start, 0);
		return 0;
	}
	mutex_lock(&careless_lock);
	mutex_unlock(&careless_lock);
	return 0;
}

static int careless_unregister_fn(void *done)
{
	cabgate_unregister_ops(&careless_ops);
	if (atomic_read(&inside_start))
		atomic_inc(&early_returns);
	/* Not back into the module's code: its exit may run from here on. */
	kthread_complete_and_exit(done, 0);
}

static long careless_request(int type, int start_floor, int dest_floor)
{
	int i;

	if (strcmp(mode, "unregister_twice"))
		return 0;
	if (!atomic_read(&inside_start) || atomic_xchg(&unregisters_started, 1))
		return 1;
	for (i = 0; i < ARRAY_SIZE(unregistered); i++)
		if (IS_ERR(kthread_run(careless_unregister_fn, &unregistered[i],
				       "careless/%d", i)))
			complete(&unregistered[i]);
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
	init_completion(&unregistered[0]);
	init_completion(&unregistered[1]);
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
	if (!strcmp(mode, "unregister_twice") &&
	    atomic_read(&unregisters_started)) {
		/* The threads run the module's code: they end before it goes. */
		wait_for_completion(&unregistered[0]);
		wait_for_completion(&unregistered[1]);
		pr_info("careless: %s\n", atomic_read(&early_returns) ?
			"an unregister returned with a call inside" :
			"both unregisters waited for the call");
		return;
	}
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
