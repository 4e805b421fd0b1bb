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
 *
 * pending: "ITEMS CHANGES": how many timers, hrtimers and work items whose
 * function lies in the watched module (its latest instance, loaded or gone)
 * are armed, queued or running their callback, and how many times that
 * changed since the helper came; "?" for ITEMS once it lost count.  A check
 * that unloaded the module need not wait longer for what it left armed
 * once nothing is pending.
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
#include <linux/version.h>
#include <linux/workqueue.h>
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

/*
 * The watched module's timers, hrtimers and work items that are armed or
 * queued (ITEM_ARMED) or running their callback (ITEM_RUNNING), by their
 * address.  Its text is kept from its coming to the next one's: callbacks
 * it left may arm more after its going, until its memory is reused.  Work
 * taken off a queue by a cancel leaves no trace, so one queued more than
 * two seconds ago and not seen running since is not counted as pending.
 */
#define WATCH_ITEMS 256
#define ITEM_ARMED 1
#define ITEM_RUNNING 2
#define ITEM_QUEUED_WORK 4

struct watch_item {
	const void *object;
	unsigned long armed;	/* jiffies, for ITEM_QUEUED_WORK */
	unsigned int flags;
};

static DEFINE_RAW_SPINLOCK(items_lock);
static struct watch_item items[WATCH_ITEMS];
static int nitems;		/* under items_lock; read unlocked as a hint */
static bool items_lost;		/* under items_lock */
static unsigned long items_changes;	/* under items_lock */
static unsigned long text_base, text_size;	/* under items_lock */

static bool in_text(const void *fn)
{
	unsigned long addr = (unsigned long)fn;

	/* Racing a coming module at worst misses one of its first items. */
	return addr - READ_ONCE(text_base) < READ_ONCE(text_size);
}

static void text_set(struct module *mod)
{
	unsigned long flags;

	raw_spin_lock_irqsave(&items_lock, flags);
	/* Built against 6.1 and 6.12: the layout changed between them. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
	WRITE_ONCE(text_base, (unsigned long)mod->mem[MOD_TEXT].base);
	WRITE_ONCE(text_size, mod->mem[MOD_TEXT].size);
#else
	WRITE_ONCE(text_base, (unsigned long)mod->core_layout.base);
	WRITE_ONCE(text_size, mod->core_layout.text_size);
#endif
	raw_spin_unlock_irqrestore(&items_lock, flags);
}

/*
 * Sets and clears flags of the item at object; adds it when it has flags
 * to set and its function lies in the module, drops it once it has none.
 */
static void item_update(const void *object, bool ours, unsigned int set,
			unsigned int clear)
{
	unsigned long flags;
	int i;

	if (!ours && !READ_ONCE(nitems))
		return;
	raw_spin_lock_irqsave(&items_lock, flags);
	for (i = 0; i < nitems && items[i].object != object; i++)
		;
	if (i == nitems) {
		if (!ours || !set)
			goto out;
		if (nitems == WATCH_ITEMS) {
			items_lost = true;
			goto out;
		}
		items[nitems++] = (struct watch_item){ .object = object };
	}
	items[i].flags = (items[i].flags & ~clear) | set;
	if (set & ITEM_QUEUED_WORK)
		items[i].armed = jiffies;
	items_changes++;
	if (!items[i].flags) {
		items[i] = items[nitems - 1];
		WRITE_ONCE(nitems, nitems - 1);
	}
out:
	raw_spin_unlock_irqrestore(&items_lock, flags);
}

static int pending_get(char *buffer, const struct kernel_param *kp)
{
	unsigned long flags, changes;
	int i, pending = 0;
	bool lost;

	raw_spin_lock_irqsave(&items_lock, flags);
	for (i = 0; i < nitems; i++)
		if (items[i].flags != (ITEM_ARMED | ITEM_QUEUED_WORK) ||
		    time_before(jiffies, items[i].armed + 2 * HZ))
			pending++;
	lost = items_lost;
	changes = items_changes;
	raw_spin_unlock_irqrestore(&items_lock, flags);
	if (lost)
		return sysfs_emit(buffer, "? %lu\n", changes);
	return sysfs_emit(buffer, "%d %lu\n", pending, changes);
}

static const struct kernel_param_ops pending_ops = {
	.get = pending_get,
};
module_param_cb(pending, &pending_ops, NULL, 0444);
MODULE_PARM_DESC(pending, "timers and work items of the watched module still armed");

/*
 * A timer's function, or for a delayed work's timer the work's: the timer
 * only queues it.
 */
static const void *timer_callback(struct timer_list *timer)
{
	void (*fn)(struct timer_list *timer) = READ_ONCE(timer->function);

	if (fn == delayed_work_timer_fn)
		return READ_ONCE(container_of(timer, struct delayed_work, timer)->work.func);
	if (fn == kthread_delayed_work_timer_fn)
		return READ_ONCE(container_of(timer, struct kthread_delayed_work,
					      timer)->work.func);
	return fn;
}

/*
 * The probes take their tracepoint's leading arguments only, the same in
 * every kernel the bench builds (x86-64 passes the rest in registers that
 * they leave alone).  An expiring timer is cancelled, then runs.
 */
static void probe_timer_start(void *unused, struct timer_list *timer)
{
	item_update(timer, in_text(timer_callback(timer)), ITEM_ARMED, 0);
}

static void probe_timer_cancel(void *unused, struct timer_list *timer)
{
	item_update(timer, false, 0, ITEM_ARMED);
}

static void probe_timer_exit(void *unused, struct timer_list *timer)
{
	item_update(timer, false, 0, ITEM_RUNNING);
}

static void probe_hrtimer_start(void *unused, struct hrtimer *timer)
{
	item_update(timer, in_text(READ_ONCE(timer->function)), ITEM_ARMED, 0);
}

static void probe_hrtimer_cancel(void *unused, struct hrtimer *timer)
{
	item_update(timer, false, 0, ITEM_ARMED);
}

/* An expiring hrtimer is taken off its queue without a cancel. */
static void probe_hrtimer_entry(void *unused, struct hrtimer *timer)
{
	item_update(timer, in_text(READ_ONCE(timer->function)), ITEM_RUNNING,
		    ITEM_ARMED);
}

static void probe_hrtimer_exit(void *unused, struct hrtimer *timer)
{
	item_update(timer, false, 0, ITEM_RUNNING);
}

static void probe_work_queue(void *unused, int req_cpu, void *pwq,
			     struct work_struct *work)
{
	item_update(work, in_text(READ_ONCE(work->func)),
		    ITEM_ARMED | ITEM_QUEUED_WORK, 0);
}

static void probe_work_start(void *unused, struct work_struct *work)
{
	item_update(work, in_text(READ_ONCE(work->func)), ITEM_RUNNING,
		    ITEM_ARMED | ITEM_QUEUED_WORK);
}

static void probe_work_end(void *unused, struct work_struct *work)
{
	item_update(work, false, 0, ITEM_RUNNING);
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
	/* Running before it is held: pending never misses it. */
	item_update(timer, in_text(timer_callback(timer)), ITEM_RUNNING, 0);
	/* Pairs with the release in delete_entry(). */
	if (timer != smp_load_acquire(&timer_wanted) ||
	    atomic_cmpxchg(&timer_phase, TIMER_WANTED, TIMER_HELD) != TIMER_WANTED)
		return;
	timer_phase_leaves(TIMER_HELD, NSEC_PER_SEC);
	WRITE_ONCE(timer_wanted, NULL);
	atomic_set_release(&timer_phase, TIMER_IDLE);
}

struct watch_probe {
	const char *name;
	void *probe;
	struct tracepoint *tp;
};

/* The first two are needed; without the others, pending is "?". */
static struct watch_probe probes[] = {
	{ "sched_process_exit", probe_exit },
	{ "timer_expire_entry", probe_expire },
	{ "timer_start", probe_timer_start },
	{ "timer_cancel", probe_timer_cancel },
	{ "timer_expire_exit", probe_timer_exit },
	{ "hrtimer_start", probe_hrtimer_start },
	{ "hrtimer_cancel", probe_hrtimer_cancel },
	{ "hrtimer_expire_entry", probe_hrtimer_entry },
	{ "hrtimer_expire_exit", probe_hrtimer_exit },
	{ "workqueue_queue_work", probe_work_queue },
	{ "workqueue_execute_start", probe_work_start },
	{ "workqueue_execute_end", probe_work_end },
};

static void find_tracepoint(struct tracepoint *tp, void *unused)
{
	int i;

	for (i = 0; i < ARRAY_SIZE(probes); i++)
		if (!strcmp(tp->name, probes[i].name))
			probes[i].tp = tp;
}

/* The first n of the probes, those of them registered. */
static void probes_unregister(int n)
{
	int i;

	for (i = 0; i < n; i++)
		if (probes[i].tp)
			tracepoint_probe_unregister(probes[i].tp, probes[i].probe, NULL);
	tracepoint_synchronize_unregister();
}

static int watch_going(struct notifier_block *nb, unsigned long state, void *data)
{
	struct module *mod = data;
	bool ours = name_is(&watch, mod->name);

	if (ours && state == MODULE_STATE_COMING) {
		text_set(mod);
		WRITE_ONCE(watched, mod);
	}
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
	int i, ret;

	for_each_kernel_tracepoint(find_tracepoint, NULL);
	if (!probes[0].tp || !probes[1].tp)
		return -ENOENT;
	for (i = 0; i < ARRAY_SIZE(probes); i++) {
		if (!probes[i].tp) {
			items_lost = true;
			continue;
		}
		ret = tracepoint_probe_register(probes[i].tp, probes[i].probe, NULL);
		if (ret) {
			probes[i].tp = NULL;
			if (i < 2)
				goto out_probes;
			items_lost = true;
		}
	}
	if (items_lost)
		pr_warn("modvm_watch: some timer or workqueue tracepoints are missing\n");
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
out_probes:
	probes_unregister(i);
	return ret;
}

static void __exit watch_exit(void)
{
	int i;

	unregister_module_notifier(&watch_nb);
	if (delete_hooked)
		unregister_kretprobe(&delete_probe);
	probes_unregister(ARRAY_SIZE(probes));
	for (i = 0; i < ntasks; i++)
		put_task_struct(tasks[i]);
}

module_init(watch_init);
module_exit(watch_exit);
MODULE_DESCRIPTION("Where a module lay, and what of it outlived it, for the module checks");
MODULE_LICENSE("GPL");
