// SPDX-License-Identifier: GPL-2.0
/*
 * A small elevator for the modvm checks: it answers start, request and stop
 * by the rules elevmod's service follows, without a car.  Start: offline to
 * running, 0; running, 1.  Request: type 0 to 2 and both floors 1 to 10
 * and different, 0 (counted in "accepted"); otherwise 1.  Stop: running,
 * 0, and offline at once (nobody is ever aboard); offline, 1.
 *
 * start_delay_ms makes start sleep first, for the unload race.
 */
#include <linux/cabgate.h>
#include <linux/delay.h>
#include <linux/module.h>
#include <linux/mutex.h>

static unsigned int start_delay_ms;
module_param(start_delay_ms, uint, 0444);
MODULE_PARM_DESC(start_delay_ms, "milliseconds start sleeps before answering");

static unsigned long accepted;
module_param(accepted, ulong, 0444);
MODULE_PARM_DESC(accepted, "requests answered 0");

static DEFINE_MUTEX(lock);
static bool running;

static long test_start(void)
{
	long ret;

	if (start_delay_ms)
		msleep(start_delay_ms);
	mutex_lock(&lock);
	ret = running ? 1 : 0;
	running = true;
	mutex_unlock(&lock);
	return ret;
}

static bool valid_floor(int floor)
{
	return floor >= 1 && floor <= 10;
}

static long test_request(int type, int start_floor, int dest_floor)
{
	if (type < 0 || type > 2 || !valid_floor(start_floor) ||
	    !valid_floor(dest_floor) || start_floor == dest_floor)
		return 1;
	mutex_lock(&lock);
	accepted++;
	mutex_unlock(&lock);
	return 0;
}

static long test_stop(void)
{
	long ret;

	mutex_lock(&lock);
	ret = running ? 0 : 1;
	running = false;
	mutex_unlock(&lock);
	return ret;
}

static const struct cabgate_ops test_ops = {
	.owner = THIS_MODULE,
	.start = test_start,
	.request = test_request,
	.stop = test_stop,
};

static int __init cabgate_test_init(void)
{
	return cabgate_register_ops(&test_ops);
}

static void __exit cabgate_test_exit(void)
{
	cabgate_unregister_ops(&test_ops);
}

module_init(cabgate_test_init);
module_exit(cabgate_test_exit);
MODULE_DESCRIPTION("A small elevator answering the cabgate system calls");
MODULE_LICENSE("GPL");
