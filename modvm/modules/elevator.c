// SPDX-License-Identifier: GPL-2.0
/*
 * An elevator answering the cabgate system calls, the module that
 * `scripts/modvm check --module` is shown to pass, and the base of the
 * faulty modules beside it: each of those defines one FAULT_* and includes
 * this file, so that each differs from a correct module by one classic bug.
 *
 * One car serves floors 1 to 10 and carries at most CAR_CAPACITY
 * passengers.  Start: offline to running, 0; otherwise 1.  Request: type 0
 * to 2 and two different floors 1 to 10, 0 (the passenger waits on its
 * floor, whether or not the car runs); otherwise 1.  Stop: running, 0, and
 * the car delivers whoever is aboard, takes nobody new and goes offline;
 * otherwise 1.  A thread of the module's moves the car, floor_ms per floor
 * and load_ms per stop; /proc/elevator shows it.  A delayed work item
 * samples how full the car is every tick_ms, for the average it shows,
 * and a timer turns the requests of each tick_ms into the rate it shows.
 *
 * Locks: car_lock (the car and its passengers) before waiting_lock (the
 * passengers waiting on the floors); stats_lock, a spinlock, covers the
 * counters and is taken last.
 */
#include <linux/cabgate.h>
#include <linux/delay.h>
#include <linux/kthread.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/sched/task.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/timer.h>
#include <linux/uaccess.h>
#include <linux/workqueue.h>

#define FLOORS 10
#define CAR_CAPACITY 5

static unsigned int floor_ms = 20;
module_param(floor_ms, uint, 0444);
MODULE_PARM_DESC(floor_ms, "milliseconds the car takes from one floor to the next");

static unsigned int load_ms = 10;
module_param(load_ms, uint, 0444);
MODULE_PARM_DESC(load_ms, "milliseconds the car stops to load and unload");

enum car_state { OFFLINE, IDLE, MOVING, LOADING };

static const char *const state_names[] = {
	[OFFLINE] = "OFFLINE", [IDLE] = "IDLE",
	[MOVING] = "MOVING", [LOADING] = "LOADING",
};

struct passenger {
	struct list_head node;
	int type;
	int start_floor;
	int dest_floor;
};

static DEFINE_MUTEX(car_lock);
static enum car_state state = OFFLINE;
static bool stopping;
static int floor = 1;
static LIST_HEAD(aboard);
static int aboard_count;

static DEFINE_MUTEX(waiting_lock);
static struct list_head waiting[FLOORS + 1];
static int waiting_count;

static DEFINE_SPINLOCK(stats_lock);
static unsigned long requests;
static unsigned long serviced[3];

static struct task_struct *car_thread;

static unsigned int tick_ms = 100;
module_param(tick_ms, uint, 0444);
MODULE_PARM_DESC(tick_ms, "milliseconds between two samples of the car's load");

/* Under stats_lock: the samples of the car's load, and their sum. */
static unsigned long samples, aboard_sum;

static void sample_fn(struct work_struct *work);
static DECLARE_DELAYED_WORK(sample_work, sample_fn);

static void sample_fn(struct work_struct *work)
{
	int load;

	mutex_lock(&car_lock);
	load = aboard_count;
	mutex_unlock(&car_lock);
	spin_lock(&stats_lock);
	samples++;
	aboard_sum += load;
	spin_unlock(&stats_lock);
	schedule_delayed_work(&sample_work, msecs_to_jiffies(tick_ms));
}

/* Requests since the last tick, and the rate the timer made of them. */
static atomic_long_t recent;
static unsigned long rate;

static void rate_fn(struct timer_list *unused);
static DEFINE_TIMER(rate_timer, rate_fn);

/* Rearms itself: exit must wait for a callback in flight. */
static void rate_fn(struct timer_list *unused)
{
	WRITE_ONCE(rate, atomic_long_xchg(&recent, 0) * 1000 / tick_ms);
	mod_timer(&rate_timer, jiffies + msecs_to_jiffies(tick_ms));
}

static void count_serviced(int type)
{
	spin_lock(&stats_lock);
	serviced[type]++;
	spin_unlock(&stats_lock);
}

/* Lets off whoever has arrived.  Called with car_lock held. */
static bool unload(void)
{
	struct passenger *p, *next;
	bool any = false;

	list_for_each_entry_safe(p, next, &aboard, node) {
		if (p->dest_floor != floor)
			continue;
		list_del(&p->node);
		aboard_count--;
#ifdef FAULT_USE_AFTER_FREE
		kfree(p);
		count_serviced(p->type);
#else
		count_serviced(p->type);
		kfree(p);
#endif
		any = true;
	}
	return any;
}

/* Takes on whoever waits here, while there is room.  car_lock held. */
static bool load(void)
{
	struct passenger *p, *next;
	bool any = false;

	mutex_lock(&waiting_lock);
	list_for_each_entry_safe(p, next, &waiting[floor], node) {
		if (aboard_count == CAR_CAPACITY)
			break;
		list_move_tail(&p->node, &aboard);
		aboard_count++;
		waiting_count--;
		any = true;
	}
	mutex_unlock(&waiting_lock);
	return any;
}

/* The floor the car heads for next, or 0 for none.  car_lock held. */
static int next_target(void)
{
	int target = 0, f;

	if (!list_empty(&aboard))
		return list_first_entry(&aboard, struct passenger, node)->dest_floor;
	if (stopping)
		return 0;
	mutex_lock(&waiting_lock);
	for (f = 1; f <= FLOORS && !target; f++)
		if (!list_empty(&waiting[f]))
			target = f;
	mutex_unlock(&waiting_lock);
	return target;
}

/* One step of the car; how long it then takes, in milliseconds. */
static unsigned int step(void)
{
	unsigned int pause = floor_ms;
	int target;

	mutex_lock(&car_lock);
	if (state == OFFLINE) {
		mutex_unlock(&car_lock);
		return floor_ms;
	}
	if (unload() | (!stopping && load())) {
		state = LOADING;
		pause = load_ms;
	} else {
		target = next_target();
		if (!target) {
			state = IDLE;
			if (stopping) {
				state = OFFLINE;
				stopping = false;
			}
		} else if (target != floor) {
			state = MOVING;
			floor += target > floor ? 1 : -1;
		}
		/*
		 * target == floor: a passenger came to this floor after load()
		 * looked (requests do not take car_lock); the next step takes
		 * them.  Moving away would take the car below floor 1.
		 */
	}
	mutex_unlock(&car_lock);
	return pause;
}

static int car_fn(void *unused)
{
	while (!kthread_should_stop()) {
		unsigned int pause = step();

#ifdef FAULT_SLEEP_IN_SPINLOCK
		spin_lock(&stats_lock);
		msleep(pause);
		spin_unlock(&stats_lock);
#else
		msleep(pause);
#endif
	}
	return 0;
}

static long elevator_start(void)
{
	long ret = 1;

	mutex_lock(&car_lock);
	if (state == OFFLINE) {
		state = IDLE;
		ret = 0;
	}
	mutex_unlock(&car_lock);
	return ret;
}

static bool valid_floor(int f)
{
	return f >= 1 && f <= FLOORS;
}

static long elevator_request(int type, int start_floor, int dest_floor)
{
	struct passenger *p;

	if (type < 0 || type > 2 || !valid_floor(start_floor) ||
	    !valid_floor(dest_floor) || start_floor == dest_floor)
#ifdef FAULT_EINVAL
		return -EINVAL;
#else
		return 1;
#endif
	p = kmalloc(sizeof(*p), GFP_KERNEL);
	if (!p)
		return 1;
	p->type = type;
	p->start_floor = start_floor;
	p->dest_floor = dest_floor;
#if defined(FAULT_UNLOCKED_LIST)
	list_add_tail(&p->node, &waiting[start_floor]);
	waiting_count++;
#elif defined(FAULT_LOCK_ORDER)
	mutex_lock(&waiting_lock);
	list_add_tail(&p->node, &waiting[start_floor]);
	waiting_count++;
	/* Peeks at the car with the waiting list held: the wrong order. */
	mutex_lock(&car_lock);
	if (state == IDLE)
		state = MOVING;
	mutex_unlock(&car_lock);
	mutex_unlock(&waiting_lock);
#else
	mutex_lock(&waiting_lock);
	list_add_tail(&p->node, &waiting[start_floor]);
	waiting_count++;
	mutex_unlock(&waiting_lock);
#endif
	spin_lock(&stats_lock);
	requests++;
	spin_unlock(&stats_lock);
	atomic_long_inc(&recent);
	return 0;
}

static long elevator_stop(void)
{
	long ret = 1;

	mutex_lock(&car_lock);
	if (state != OFFLINE && !stopping) {
		stopping = true;
		ret = 0;
	}
	mutex_unlock(&car_lock);
	return ret;
}

/* list_count_nodes() is not in every 6.1 the bench accepts. */
static size_t count_nodes(struct list_head *list)
{
	struct list_head *node;
	size_t n = 0;

	list_for_each(node, list)
		n++;
	return n;
}

static int elevator_show(struct seq_file *m, void *v)
{
	unsigned long req, done[3], n, sum;
	int f;

	mutex_lock(&car_lock);
	seq_printf(m, "Elevator state: %s%s\n", state_names[state],
		   stopping ? " (stopping)" : "");
	seq_printf(m, "Current floor: %d\nPassengers aboard: %d\n", floor,
		   aboard_count);
	mutex_lock(&waiting_lock);
	seq_printf(m, "Passengers waiting: %d\n", waiting_count);
	for (f = FLOORS; f >= 1; f--)
		seq_printf(m, "[%c] Floor %d: %zu\n", f == floor ? '*' : ' ', f,
			   count_nodes(&waiting[f]));
	mutex_unlock(&waiting_lock);
	mutex_unlock(&car_lock);
	spin_lock(&stats_lock);
	req = requests;
	memcpy(done, serviced, sizeof(done));
	n = samples;
	sum = aboard_sum;
	spin_unlock(&stats_lock);
	seq_printf(m, "Requests: %lu\nServiced: %lu %lu %lu\n", req, done[0],
		   done[1], done[2]);
	seq_printf(m, "Average aboard: %lu.%02lu\n", n ? sum / n : 0,
		   n ? sum * 100 / n % 100 : 0);
	seq_printf(m, "Request rate: %lu/s\n", READ_ONCE(rate));
	return 0;
}

#ifdef FAULT_PROC_COUNT
/* The state alone, copied to the reader whatever it asked for. */
static ssize_t elevator_read(struct file *file, char __user *buf, size_t count,
			     loff_t *ppos)
{
	char text[64];
	int len;

	mutex_lock(&car_lock);
	len = scnprintf(text, sizeof(text), "Elevator state: %s\n",
			state_names[state]);
	mutex_unlock(&car_lock);
	if (*ppos >= len)
		return 0;
	len -= *ppos;
	if (copy_to_user(buf, text + *ppos, len))
		return -EFAULT;
	*ppos += len;
	return len;
}

static const struct proc_ops elevator_proc_ops = {
	.proc_read = elevator_read,
};
#endif

static void free_list(struct list_head *list)
{
	struct passenger *p, *next;

	list_for_each_entry_safe(p, next, list, node) {
		list_del(&p->node);
		kfree(p);
	}
}

static void free_passengers(void)
{
	int f;

#ifdef FAULT_LEAK
	return;
#endif
	free_list(&aboard);
	for (f = 1; f <= FLOORS; f++)
		free_list(&waiting[f]);
}

static const struct cabgate_ops elevator_ops = {
	.owner = THIS_MODULE,
	.start = elevator_start,
	.request = elevator_request,
	.stop = elevator_stop,
};

#ifdef FAULT_INIT_TIMER
/* A line in the log a second after the load, from memory of its own. */
struct warmup {
	struct timer_list timer;
};

static void warmup_fn(struct timer_list *timer)
{
	pr_info("elevator: warmed up\n");
	kfree(container_of(timer, struct warmup, timer));
}

/* Never cancelled: an init that fails, or an early exit, leaves it armed. */
static void warmup_start(void)
{
	struct warmup *w = kzalloc(sizeof(*w), GFP_KERNEL);

	if (!w)
		return;
	timer_setup(&w->timer, warmup_fn, 0);
	mod_timer(&w->timer, jiffies + HZ);
}
#endif

static int __init elevator_init(void)
{
	int f, ret;

	if (!tick_ms)
		return -EINVAL;
	for (f = 1; f <= FLOORS; f++)
		INIT_LIST_HEAD(&waiting[f]);
#ifdef FAULT_INIT_OVERFLOW
	{
		/* A counter per floor, indexed by floor: one past the end. */
		unsigned int *visits = kcalloc(FLOORS, sizeof(*visits), GFP_KERNEL);

		if (!visits)
			return -ENOMEM;
		for (f = 1; f <= FLOORS; f++)
			WRITE_ONCE(visits[f], 0);
		kfree(visits);
	}
#endif
#ifdef FAULT_PROC_COUNT
	if (!proc_create("elevator", 0444, NULL, &elevator_proc_ops))
		return -ENOMEM;
#else
	if (!proc_create_single("elevator", 0444, NULL, elevator_show))
		return -ENOMEM;
#endif
	car_thread = kthread_run(car_fn, NULL, "elevator_car");
	if (IS_ERR(car_thread)) {
		ret = PTR_ERR(car_thread);
#ifdef FAULT_ERROR_PATH
		/* Undoes a thread that never ran: kthread_stop on an error. */
		goto out_work;
#endif
		goto out_proc;
	}
	/* Held, so that stopping it is safe even once it has ended. */
	get_task_struct(car_thread);
	schedule_delayed_work(&sample_work, msecs_to_jiffies(tick_ms));
	mod_timer(&rate_timer, jiffies + msecs_to_jiffies(tick_ms));
#ifdef FAULT_INIT_TIMER
	warmup_start();
#endif
	/* Last: the calls may come at once. */
	ret = cabgate_register_ops(&elevator_ops);
	if (ret) {
#ifdef FAULT_INIT_ERROR
		return ret;
#endif
		goto out_work;
	}
	return 0;

out_work:
	del_timer_sync(&rate_timer);
	cancel_delayed_work_sync(&sample_work);
	kthread_stop(car_thread);
	put_task_struct(car_thread);
out_proc:
	remove_proc_entry("elevator", NULL);
	return ret;
}

static void __exit elevator_exit(void)
{
#ifndef FAULT_NO_UNREGISTER
	/* First: no call may come into what goes below. */
	cabgate_unregister_ops(&elevator_ops);
#endif
#ifndef FAULT_THREAD_LEFT
	kthread_stop(car_thread);
#ifndef FAULT_TASK_REF
	put_task_struct(car_thread);
#endif
#endif
#ifndef FAULT_WORK_LEFT
	/* The work rearms itself: cancel_delayed_work_sync() stops that too. */
	cancel_delayed_work_sync(&sample_work);
#endif
#ifdef FAULT_TIMER_DEL
	/* Returns while the callback may run on, and arm the timer again. */
	del_timer(&rate_timer);
#else
	del_timer_sync(&rate_timer);
#endif
#ifndef FAULT_PROC_LEFT
	remove_proc_entry("elevator", NULL);
#endif
	free_passengers();
}

module_init(elevator_init);
module_exit(elevator_exit);
MODULE_DESCRIPTION("An elevator answering the cabgate system calls");
MODULE_LICENSE("GPL");
