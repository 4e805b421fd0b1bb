// SPDX-License-Identifier: GPL-2.0
/*
 * The module checks' helper in the guest, loaded before the module under
 * check and never unloaded.
 *
 * hold=NAME: when the module NAME goes away (its init failed, or it is
 * unloaded), it waits until hold names another module, or 30 s: the
 * checks read where it lay, which names what of it outlives it, without
 * racing its going.
 *
 * barrier: a write waits for every RCU callback queued before it, so that
 * one the unloaded module left runs (and faults) while the check that
 * unloaded it is on.
 */
#include <linux/jiffies.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/notifier.h>
#include <linux/rcupdate.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/wait.h>

#define WATCH_HOLD_MAX (30 * HZ)

static char hold[MODULE_NAME_LEN];
static DEFINE_SPINLOCK(hold_lock);
static DECLARE_WAIT_QUEUE_HEAD(hold_wq);

static bool holding(const char *name)
{
	bool ret;

	spin_lock(&hold_lock);
	ret = !strcmp(hold, name);
	spin_unlock(&hold_lock);
	return ret;
}

static int hold_set(const char *val, const struct kernel_param *kp)
{
	char name[MODULE_NAME_LEN];

	if (strscpy(name, val, sizeof(name)) < 0)
		return -EINVAL;
	spin_lock(&hold_lock);
	strscpy(hold, strim(name), sizeof(hold));
	spin_unlock(&hold_lock);
	wake_up_all(&hold_wq);
	return 0;
}

static int hold_get(char *buffer, const struct kernel_param *kp)
{
	int ret;

	spin_lock(&hold_lock);
	ret = sysfs_emit(buffer, "%s\n", hold);
	spin_unlock(&hold_lock);
	return ret;
}

static const struct kernel_param_ops hold_ops = {
	.set = hold_set,
	.get = hold_get,
};
module_param_cb(hold, &hold_ops, NULL, 0644);
MODULE_PARM_DESC(hold, "a module whose going waits until hold names another");

static int barrier_set(const char *val, const struct kernel_param *kp)
{
	rcu_barrier();
	return 0;
}

static const struct kernel_param_ops barrier_ops = {
	.set = barrier_set,
};
module_param_cb(barrier, &barrier_ops, NULL, 0200);
MODULE_PARM_DESC(barrier, "a write waits for the RCU callbacks queued before it");

static int watch_going(struct notifier_block *nb, unsigned long state, void *data)
{
	struct module *mod = data;

	if (state == MODULE_STATE_GOING && holding(mod->name) &&
	    !wait_event_timeout(hold_wq, !holding(mod->name), WATCH_HOLD_MAX))
		pr_warn("modvm_watch: %s was held going for 30 s; let go\n", mod->name);
	return NOTIFY_DONE;
}

static struct notifier_block watch_nb = {
	.notifier_call = watch_going,
};

static int __init watch_init(void)
{
	return register_module_notifier(&watch_nb);
}

static void __exit watch_exit(void)
{
	unregister_module_notifier(&watch_nb);
}

module_init(watch_init);
module_exit(watch_exit);
MODULE_DESCRIPTION("Where a module lay, and its RCU callbacks run, for the module checks");
MODULE_LICENSE("GPL");
