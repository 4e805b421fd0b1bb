// SPDX-License-Identifier: GPL-2.0
/*
 * The smallest module that answers the three elevator calls as the tools
 * expect and passes every check of cabgate-modvm: a place to start an
 * elevator from.  It has no car: passengers wait until the module is
 * unloaded.  The places marked "The car" are where yours goes.
 *
 * Start: offline to running, 0; otherwise 1.  Request: type 0 to 2 and two
 * different floors 1 to 10, 0 (the passenger waits on its floor); otherwise
 * 1.  Stop: running to offline, 0; otherwise 1.  Never an error code: the
 * tools read anything but 0 and 1 as "no elevator".  /proc/elevator shows
 * the state and who waits where.
 *
 * To begin your own: copy this directory, name this file elevator.c and
 * the Makefile's object elevator.o, then
 *   make -C "$(cabgate-modvm build | tail -n 1)" M="$PWD" modules
 *   cabgate-modvm check --module elevator.ko --proc /proc/elevator
 */
#include <linux/cabgate.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/slab.h>

#define FLOORS 10
#define TYPES 3

struct passenger {
	struct list_head node;
	int type;
	int dest_floor;
};

/*
 * One lock for everything below: the calls come from any number of tasks
 * at once, and so do readers of /proc/elevator.
 */
static DEFINE_MUTEX(lock);
static bool running;
static struct list_head waiting[FLOORS + 1];
static unsigned int waiting_count[FLOORS + 1];

static long skeleton_start(void)
{
	long ret = 1;

	mutex_lock(&lock);
	if (!running) {
		running = true;
		/* The car: wake it, or start its thread in init. */
		ret = 0;
	}
	mutex_unlock(&lock);
	return ret;
}

static long skeleton_request(int type, int start_floor, int dest_floor)
{
	struct passenger *p;

	if (type < 0 || type >= TYPES || start_floor < 1 ||
	    start_floor > FLOORS || dest_floor < 1 || dest_floor > FLOORS ||
	    start_floor == dest_floor)
		return 1;
	p = kmalloc(sizeof(*p), GFP_KERNEL);
	if (!p)
		return 1;
	p->type = type;
	p->dest_floor = dest_floor;
	mutex_lock(&lock);
	list_add_tail(&p->node, &waiting[start_floor]);
	waiting_count[start_floor]++;
	mutex_unlock(&lock);
	return 0;
}

static long skeleton_stop(void)
{
	long ret = 1;

	mutex_lock(&lock);
	if (running) {
		/*
		 * The car: it takes nobody new, delivers whoever is aboard,
		 * and only then goes offline.
		 */
		running = false;
		ret = 0;
	}
	mutex_unlock(&lock);
	return ret;
}

static int skeleton_show(struct seq_file *m, void *v)
{
	int f;

	mutex_lock(&lock);
	seq_printf(m, "Elevator state: %s\n", running ? "IDLE" : "OFFLINE");
	for (f = FLOORS; f >= 1; f--)
		seq_printf(m, "Floor %d: %u waiting\n", f, waiting_count[f]);
	mutex_unlock(&lock);
	return 0;
}

static const struct cabgate_ops skeleton_ops = {
	.owner = THIS_MODULE,
	.start = skeleton_start,
	.request = skeleton_request,
	.stop = skeleton_stop,
};

static int __init skeleton_init(void)
{
	int f, ret;

	for (f = 1; f <= FLOORS; f++)
		INIT_LIST_HEAD(&waiting[f]);
	if (!proc_create_single("elevator", 0444, NULL, skeleton_show))
		return -ENOMEM;
	/* The car: start its thread here, before the calls can come. */

	/* Last: once registered, the calls come at once. */
	ret = cabgate_register_ops(&skeleton_ops);
	if (ret) {
		/* Undo everything above, in the reverse order. */
		remove_proc_entry("elevator", NULL);
		return ret;
	}
	return 0;
}

static void __exit skeleton_exit(void)
{
	struct passenger *p, *next;
	int f;

	/* First: it returns once no call is inside, and none comes after. */
	cabgate_unregister_ops(&skeleton_ops);
	/* The car: stop its thread here (kthread_stop). */
	remove_proc_entry("elevator", NULL);
	for (f = 1; f <= FLOORS; f++) {
		list_for_each_entry_safe(p, next, &waiting[f], node) {
			list_del(&p->node);
			kfree(p);
		}
	}
}

module_init(skeleton_init);
module_exit(skeleton_exit);
MODULE_DESCRIPTION("An elevator without a car, to start one from");
MODULE_LICENSE("GPL");
