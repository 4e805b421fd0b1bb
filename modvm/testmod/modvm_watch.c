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
 *
 * watch=NAME: the module under check.
 *
 * tasks: the threads of it that ended and whose task_struct is still
 * referenced, "NAME PID" a line.  The helper holds each ended thread's
 * task_struct, and lets go of those that only it holds: a thread whose
 * module took a reference (get_task_struct()) and never put it stays.
 */
#include <linux/jiffies.h>
#include <linux/kprobes.h>
#include <linux/kthread.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/notifier.h>
#include <linux/rcupdate.h>
#include <linux/sched.h>
#include <linux/sched/task.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/timekeeping.h>
#include <linux/timer.h>
#include <linux/tracepoint.h>
#include <linux/wait.h>

#define WATCH_HOLD_MAX (30 * HZ)

/* A module's name, as hold and watch take it. */
struct name_param {
	char name[MODULE_NAME_LEN];
	spinlock_t lock;	/* covers name */
};

static struct name_param hold = { .lock = __SPIN_LOCK_UNLOCKED(hold.lock) };
static struct name_param watch = { .lock = __SPIN_LOCK_UNLOCKED(watch.lock) };
static DECLARE_WAIT_QUEUE_HEAD(hold_wq);

static bool name_is(struct name_param *param, const char *name)
{
	bool ret;

	spin_lock(&param->lock);
	ret = !strcmp(param->name, name);
	spin_unlock(&param->lock);
	return ret;
}

static int name_set(const char *val, const struct kernel_param *kp)
{
	struct name_param *param = kp->arg;
	char name[MODULE_NAME_LEN];

	if (strscpy(name, val, sizeof(name)) < 0)
		return -EINVAL;
	spin_lock(&param->lock);
	strscpy(param->name, strim(name), sizeof(param->name));
	spin_unlock(&param->lock);
	return 0;
}

static int name_get(char *buffer, const struct kernel_param *kp)
{
	struct name_param *param = kp->arg;
	int ret;

	spin_lock(&param->lock);
	ret = sysfs_emit(buffer, "%s\n", param->name);
	spin_unlock(&param->lock);
	return ret;
}

static int hold_set(const char *val, const struct kernel_param *kp)
{
	int ret = name_set(val, kp);

	wake_up_all(&hold_wq);
	return ret;
}

static const struct kernel_param_ops hold_ops = {
	.set = hold_set,
	.get = name_get,
};
module_param_cb(hold, &hold_ops, &hold, 0644);
MODULE_PARM_DESC(hold, "a module whose going waits until hold names another");

static const struct kernel_param_ops watch_ops = {
	.set = name_set,
	.get = name_get,
};
module_param_cb(watch, &watch_ops, &watch, 0644);
MODULE_PARM_DESC(watch, "the module under check");

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

/*
 * The watched module from its coming to its going: the probe reads it with
 * preemption off, and its memory is freed only after a grace period that
 * follows its going.
 */
static struct module *watched;

#define WATCH_TASKS 64
static DEFINE_SPINLOCK(tasks_lock);
static struct task_struct *tasks[WATCH_TASKS];
static int ntasks;

/* Ended threads that only the helper holds are let go. */
static int tasks_get(char *buffer, const struct kernel_param *kp)
{
	struct task_struct *done[WATCH_TASKS];
	int i, kept = 0, ndone = 0, len = 0;

	spin_lock(&tasks_lock);
	for (i = 0; i < ntasks; i++) {
		struct task_struct *t = tasks[i];

		if (refcount_read(&t->usage) == 1) {
			done[ndone++] = t;
			continue;
		}
		tasks[kept++] = t;
		len += scnprintf(buffer + len, PAGE_SIZE - len, "%s %d\n",
				 t->comm, t->pid);
	}
	ntasks = kept;
	spin_unlock(&tasks_lock);
	for (i = 0; i < ndone; i++)
		put_task_struct(done[i]);
	return len;
}

static const struct kernel_param_ops tasks_ops = {
	.get = tasks_get,
};
module_param_cb(tasks, &tasks_ops, NULL, 0444);
MODULE_PARM_DESC(tasks, "ended threads of the watched module still referenced");

/* A thread of the watched module ends: the helper holds its task_struct. */
static void probe_exit(void *unused, struct task_struct *p)
{
	struct module *mod = READ_ONCE(watched);

	if (!(p->flags & PF_KTHREAD) || !mod ||
	    !within_module((unsigned long)kthread_func(p), mod))
		return;
	spin_lock(&tasks_lock);
	if (ntasks < WATCH_TASKS) {
		get_task_struct(p);
		tasks[ntasks++] = p;
	}
	spin_unlock(&tasks_lock);
}

/* A timer of the watched module deleted while its callback is held. */
enum { TIMER_IDLE, TIMER_WANTED, TIMER_HELD, TIMER_DELETED };
static atomic_t timer_phase = ATOMIC_INIT(TIMER_IDLE);
static struct timer_list *timer_wanted;

/* Both sides spin with interrupts or softirqs off: never for long. */
static bool timer_phase_leaves(int phase, u64 ns)
{
	u64 until = ktime_get_mono_fast_ns() + ns;

	while (atomic_read_acquire(&timer_phase) == phase) {
		if (ktime_get_mono_fast_ns() > until)
			return false;
		cpu_relax();
	}
	return true;
}

static int delete_entry(struct kretprobe_instance *ri, struct pt_regs *regs)
{
	struct timer_list *timer = (void *)regs_get_kernel_argument(regs, 0);
	struct module *mod = READ_ONCE(watched);

	if (!mod || READ_ONCE(mod->state) != MODULE_STATE_GOING ||
	    !within_module((unsigned long)READ_ONCE(timer->function), mod) ||
	    !timer_pending(timer) ||
	    (READ_ONCE(timer->flags) & TIMER_CPUMASK) == raw_smp_processor_id() ||
	    time_after(READ_ONCE(timer->expires), jiffies + HZ))
		return 1;
	if (atomic_cmpxchg(&timer_phase, TIMER_IDLE, TIMER_WANTED) != TIMER_IDLE)
		return 1;
	/* Set after the phase: another hold's timer is never overwritten. */
	smp_store_release(&timer_wanted, timer);
	/* Its callback comes within a second, or it is not waited for. */
	if (!timer_phase_leaves(TIMER_WANTED, 2 * NSEC_PER_SEC) &&
	    atomic_cmpxchg(&timer_phase, TIMER_WANTED, TIMER_IDLE) == TIMER_WANTED)
		return 1;
	return 0;
}

static int delete_return(struct kretprobe_instance *ri, struct pt_regs *regs)
{
	atomic_cmpxchg_release(&timer_phase, TIMER_HELD, TIMER_DELETED);
	return 0;
}

static struct kretprobe delete_probe = {
	.kp.symbol_name = "timer_delete",
	.entry_handler = delete_entry,
	.handler = delete_return,
};

static bool delete_hooked;

static void probe_expire(void *unused, struct timer_list *timer,
			 unsigned long baseclk)
{
	/* Pairs with the release in delete_entry(). */
	if (timer != smp_load_acquire(&timer_wanted) ||
	    atomic_cmpxchg(&timer_phase, TIMER_WANTED, TIMER_HELD) != TIMER_WANTED)
		return;
	timer_phase_leaves(TIMER_HELD, NSEC_PER_SEC);
	WRITE_ONCE(timer_wanted, NULL);
	atomic_set_release(&timer_phase, TIMER_IDLE);
}

static struct tracepoint *tp_exit, *tp_expire;

static void find_tracepoint(struct tracepoint *tp, void *unused)
{
	if (!strcmp(tp->name, "sched_process_exit"))
		tp_exit = tp;
	else if (!strcmp(tp->name, "timer_expire_entry"))
		tp_expire = tp;
}

static int watch_going(struct notifier_block *nb, unsigned long state, void *data)
{
	struct module *mod = data;
	bool ours = name_is(&watch, mod->name);

	if (ours && state == MODULE_STATE_COMING)
		WRITE_ONCE(watched, mod);
	if (state != MODULE_STATE_GOING)
		return NOTIFY_DONE;
	if (ours)
		WRITE_ONCE(watched, NULL);
	if (name_is(&hold, mod->name) &&
	    !wait_event_timeout(hold_wq, !name_is(&hold, mod->name), WATCH_HOLD_MAX))
		pr_warn("modvm_watch: %s was held going for 30 s; let go\n", mod->name);
	return NOTIFY_DONE;
}

static struct notifier_block watch_nb = {
	.notifier_call = watch_going,
};

static int __init watch_init(void)
{
	int ret;

	for_each_kernel_tracepoint(find_tracepoint, NULL);
	if (!tp_exit || !tp_expire)
		return -ENOENT;
	ret = tracepoint_probe_register(tp_exit, probe_exit, NULL);
	if (ret)
		return ret;
	ret = tracepoint_probe_register(tp_expire, probe_expire, NULL);
	if (ret)
		goto out_exit;
	/* Without kprobes, such a del_timer() is met only by chance. */
	delete_hooked = !register_kretprobe(&delete_probe);
	if (!delete_hooked)
		pr_warn("modvm_watch: no hook on timer_delete\n");
	ret = register_module_notifier(&watch_nb);
	if (ret)
		goto out_delete;
	return 0;

out_delete:
	if (delete_hooked)
		unregister_kretprobe(&delete_probe);
	tracepoint_probe_unregister(tp_expire, probe_expire, NULL);
out_exit:
	tracepoint_probe_unregister(tp_exit, probe_exit, NULL);
	tracepoint_synchronize_unregister();
	return ret;
}

static void __exit watch_exit(void)
{
	int i;

	unregister_module_notifier(&watch_nb);
	if (delete_hooked)
		unregister_kretprobe(&delete_probe);
	tracepoint_probe_unregister(tp_expire, probe_expire, NULL);
	tracepoint_probe_unregister(tp_exit, probe_exit, NULL);
	tracepoint_synchronize_unregister();
	for (i = 0; i < ntasks; i++)
		put_task_struct(tasks[i]);
}

module_init(watch_init);
module_exit(watch_exit);
MODULE_DESCRIPTION("Where a module lay, and what of it outlived it, for the module checks");
MODULE_LICENSE("GPL");
