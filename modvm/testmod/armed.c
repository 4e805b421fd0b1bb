// SPDX-License-Identifier: GPL-2.0
/*
 * Arms what the checks' helper counts as pending, for the bench's own
 * checks of that count: a timer, an hrtimer and a delayed work, each in
 * memory of its own, due in delay_ms.  Writing fire makes all three due at
 * once, and each runs its callback once; the exit cancels them and waits
 * for their callbacks, as a careful module does.
 */
#include <linux/hrtimer.h>
#include <linux/jiffies.h>
#include <linux/ktime.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/slab.h>
#include <linux/timer.h>
#include <linux/workqueue.h>

static unsigned int delay_ms = 60000;
module_param(delay_ms, uint, 0444);
MODULE_PARM_DESC(delay_ms, "when the three are due after the load");

struct armed {
	struct timer_list timer;
	struct hrtimer hrtimer;
	struct delayed_work work;
};

static struct armed *armed;
static atomic_t ran = ATOMIC_INIT(0);

static void armed_timer_fn(struct timer_list *timer)
{
	atomic_inc(&ran);
}

static enum hrtimer_restart armed_hrtimer_fn(struct hrtimer *timer)
{
	atomic_inc(&ran);
	return HRTIMER_NORESTART;
}

static void armed_work_fn(struct work_struct *work)
{
	atomic_inc(&ran);
}

static int fire_set(const char *val, const struct kernel_param *kp)
{
	mod_timer(&armed->timer, jiffies);
	hrtimer_start(&armed->hrtimer, 0, HRTIMER_MODE_REL);
	mod_delayed_work(system_wq, &armed->work, 0);
	return 0;
}

static const struct kernel_param_ops fire_ops = {
	.set = fire_set,
};
module_param_cb(fire, &fire_ops, NULL, 0200);
MODULE_PARM_DESC(fire, "a write makes the three due at once");

module_param_named(ran, ran.counter, int, 0444);
MODULE_PARM_DESC(ran, "how many callbacks ran");

static int __init armed_init(void)
{
	armed = kzalloc(sizeof(*armed), GFP_KERNEL);
	if (!armed)
		return -ENOMEM;
	timer_setup(&armed->timer, armed_timer_fn, 0);
	hrtimer_init(&armed->hrtimer, CLOCK_MONOTONIC, HRTIMER_MODE_REL);
	armed->hrtimer.function = armed_hrtimer_fn;
	INIT_DELAYED_WORK(&armed->work, armed_work_fn);
	mod_timer(&armed->timer, jiffies + msecs_to_jiffies(delay_ms));
	hrtimer_start(&armed->hrtimer, ms_to_ktime(delay_ms), HRTIMER_MODE_REL);
	schedule_delayed_work(&armed->work, msecs_to_jiffies(delay_ms));
	return 0;
}

static void __exit armed_exit(void)
{
	del_timer_sync(&armed->timer);
	hrtimer_cancel(&armed->hrtimer);
	cancel_delayed_work_sync(&armed->work);
	kfree(armed);
}

module_init(armed_init);
module_exit(armed_exit);
MODULE_DESCRIPTION("A timer, an hrtimer and a delayed work, for the checks' helper's count");
MODULE_LICENSE("GPL");
