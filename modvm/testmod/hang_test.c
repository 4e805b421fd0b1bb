// SPDX-License-Identifier: GPL-2.0
/*
 * A request that never returns (uninterruptibly): shows that a hang is named
 * as one, by where it waits, well before the boot's time runs out.
 */
#include <linux/cabgate.h>
#include <linux/completion.h>
#include <linux/module.h>

static DECLARE_COMPLETION(never);

static long hang_start(void)
{
	return 0;
}

static long hang_request(int type, int start_floor, int dest_floor)
{
	wait_for_completion(&never);
	return 0;
}

static long hang_stop(void)
{
	return 0;
}

static const struct cabgate_ops hang_ops = {
	.owner = THIS_MODULE,
	.start = hang_start,
	.request = hang_request,
	.stop = hang_stop,
};

static int __init hang_test_init(void)
{
	return cabgate_register_ops(&hang_ops);
}

static void __exit hang_test_exit(void)
{
	cabgate_unregister_ops(&hang_ops);
}

module_init(hang_test_init);
module_exit(hang_test_exit);
MODULE_DESCRIPTION("Never answers a request");
MODULE_LICENSE("GPL");
