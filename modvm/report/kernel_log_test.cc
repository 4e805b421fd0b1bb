#include "kernel_log.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace modvm {
namespace {

// Source lines as faddr2line would give them for the frames of the tests.
std::string locate(std::string_view frame) {
  static const std::map<std::string, std::string, std::less<>> kLines = {
      {"unload+0x1d5/0x230", "elevator.c:95"},
      {"el_request+0x42/0x100", "spin.h:12 in lock_car, inlined in el_request at ok_wq.c:209"},
      {"elevator_init+0x4d/0x1000", "elevator.c:360"},
      {"careless_request+0x30/0x60", "careless.c:40"},
      {"car_fn+0x30/0x80", "elevator.c:200"},
      {"elevator_request+0x23/0x232", "elevator.c:241"},
  };
  auto at = kLines.find(frame.substr(0, frame.find(' ')));
  return at == kLines.end() ? "" : at->second;
}

struct TitleCase {
  const char* kind;
  std::string module;
  Lines report;
  std::string title;
};

TEST(KernelLog, EachKindOfReportGetsTheTitleSyzkallerWouldGiveIt) {
  const TitleCase cases[] = {
      {"KASAN names the access and the module's line", "fault_uaf",
       {"==================================================================",
        "BUG: KASAN: use-after-free in unload+0x1d5/0x230 [fault_uaf]",
        "Read of size 4 at addr ffff888003b5e690 by task elevator_car/75",
        "Call Trace:", " dump_stack_lvl+0x45/0x5d", " kasan_report+0xa8/0xd0",
        " unload+0x1d5/0x230 [fault_uaf]", " car_fn+0x30/0x80 [fault_uaf]"},
       "KASAN: use-after-free Read in unload (elevator.c:95)"},
      {"recursive locking names the lock and the outer function's line", "ok_wq",
       {"WARNING: possible recursive locking detected", "rawcall/80 is trying to acquire lock:",
        "ffffffffa0002100 (car_mutex){+.+.}-{3:3}, at: el_request+0x42/0x100 [ok_wq]", "",
        "but task is already holding lock:",
        "ffffffffa0002100 (car_mutex){+.+.}-{3:3}, at: el_request+0x20/0x100 [ok_wq]"},
       "lockdep: recursive locking of car_mutex in el_request (ok_wq.c:209)"},
      {"a circular dependency names both locks", "m",
       {"WARNING: possible circular locking dependency detected",
        "rawcall/80 is trying to acquire lock:",
        "ffffffffa0002100 (car_lock){+.+.}-{3:3}, at: el_request+0x42/0x100 [m]",
        "but task is already holding lock:",
        "ffffffffa0002200 (waiting_lock){+.+.}-{3:3}, at: el_request+0x20/0x100 [m]"},
       "lockdep: circular locking dependency between car_lock and waiting_lock in el_request "
       "(ok_wq.c:209)"},
      {"a WARN keeps its message and names the module's caller", "fault_proc_left",
       {"------------[ cut here ]------------",
        "proc_dir_entry '/proc/elevator' already registered",
        "WARNING: CPU: 0 PID: 90 at fs/proc/generic.c:376 proc_register+0x1f3/0x230",
        "RIP: 0010:proc_register+0x1f3/0x230", "Call Trace:",
        " proc_create_single_data+0x7e/0xa0",
        " elevator_init+0x4d/0x1000 [fault_proc_left]"},
       "WARNING in proc_register: proc_dir_entry '/proc/elevator' already registered, "
       "from elevator_init (elevator.c:360)"},
      {"a hung task names where it waits", "careless",
       {"INFO: task rawcall:85 blocked for more than 30 seconds.",
        "task:rawcall         state:D stack:0     pid:85    ppid:80     flags:0x00004002",
        "Call Trace:", " __schedule+0x2f0/0x8a0", " schedule+0x5e/0xd0",
        " careless_request+0x30/0x60 [careless]"},
       "INFO: task hung in careless_request (careless.c:40)"},
      {"a leak names the allocation's function, unloaded or not", "fault_leak",
       {"unreferenced object 0xffff888004f0c3a0 (size 32):", "  backtrace:",
        "    [<ffffffff811d1c5e>] kmalloc_trace+0x26/0x60",
        "    [<(____ptrval____)>] elevator_request+0x23/0x232 [fault_leak, unloaded]"},
       "memory leak in elevator_request (elevator.c:241)"},
      {"code that ran after its module went is named as having outlived it", "m",
       {"BUG: unable to handle page fault for address: sample_fn+0x0/0x60 [m, unloaded]",
        "#PF: supervisor instruction fetch in kernel mode",
        "RIP: 0010:sample_fn+0x0/0x60 [m, unloaded]"},
       "BUG: unable to handle page fault in sample_fn+0x0 of the unloaded m: a thread, "
       "timer, work item or RCU callback outlived the module"},
      {"sleeping in atomic context drops the kernel's file and line", "m",
       {"BUG: sleeping function called from invalid context at kernel/time/timer.c:2046",
        "Call Trace:", " msleep+0x50/0x70", " car_fn+0x30/0x80 [m]"},
       "BUG: sleeping function called from invalid context in car_fn (elevator.c:200)"},
      {"scheduling while atomic drops the task", "m",
       {"BUG: scheduling while atomic: elevator_car/75/0x00000002", " car_fn+0x30/0x80 [m]"},
       "BUG: scheduling while atomic in car_fn (elevator.c:200)"},
      {"an armed timer freed with the module says what was left", "m",
       {"ODEBUG: free active (active state 0) object: 00000000a1b2c3d4 object type: "
        "timer_list hint: delayed_work_timer_fn+0x0/0x40",
        "WARNING: CPU: 1 PID: 99 at lib/debugobjects.c:505 debug_print_object+0xd0/0x100",
        "Call Trace:", " free_module+0x1b0/0x2e0", " __do_sys_delete_module+0x2c0/0x3c0"},
       "ODEBUG: free active timer_list, hint delayed_work_timer_fn, as rmmod freed the "
       "module's memory: a timer or work item of it was left armed"},
      {"a bad unlock names the lock released, and code of a module that failed its init",
       "m",
       {"WARNING: bad unlock balance detected!",
        "elevator_car/45 is trying to release lock (car_lock) at:",
        "[<ffffffffa000963f>] car_fn+0x3f/0x80 [m, unloaded]",
        "but there are no more locks to release!"},
       "lockdep: bad unlock balance of car_lock in car_fn+0x3f of the unloaded m: a thread, "
       "timer, work item or RCU callback outlived the module"},
      {"an ODEBUG hint is not where the object was freed", "m",
       {"ODEBUG: free active (active state 0) object type: timer_list hint: "
        "sample_fn+0x0/0x98 [m, unloaded]",
        "R10: 0000000000000001 R11: ffffffff81166aed R12: sample_fn+0x0/0x98 [m, unloaded]",
        "Call Trace:", " free_module+0x1b0/0x2e0"},
       "ODEBUG: free active timer_list, hint sample_fn, as rmmod freed the module's memory: "
       "a timer or work item of it was left armed"},
      {"an armed timer freed is the title, not what its callback did after", "m",
       {"WARNING: bad unlock balance detected!",
        "kworker/0:1/30 is trying to release lock () at:",
        "[<ffffffffa000963f>] step_fn+0x0/0x60 [m, unloaded]",
        "ODEBUG: free active (active state 0) object type: timer_list hint: "
        "step_fn+0x0/0x60 [m, unloaded]",
        "Call Trace:", " free_module+0x1b0/0x2e0"},
       "ODEBUG: free active timer_list, hint step_fn, as rmmod freed the module's memory: "
       "a timer or work item of it was left armed"},
      {"KCSAN's title is its own", "m",
       {"BUG: KCSAN: data-race in el_request [m] / step [m]"},
       "KCSAN: data-race in el_request [m] / step [m]"},
      {"the system calls' own warning stands as it is", "careless",
       {"cabgate: careless_start [careless] returned 4294967296, not 0, 1 or an error"},
       "cabgate: careless_start [careless] returned 4294967296, not 0, 1 or an error"},
      {"an unknown report keeps its first line", "m",
       {"something the bench does not know", "second line"},
       "something the bench does not know"},
  };
  for (const TitleCase& c : cases)
    EXPECT_EQ(report_title(c.report, c.module, locate), c.title) << c.kind;
}

TEST(KernelLog, ReportedDropsStampsNoiseAndOtherModulesRaces) {
  Lines log = {
      "[    3.100000] fault_x: loading out-of-tree module taints kernel.",
      "[    3.200000] modvm: check unload begins",
      "[    4.000000] hrtimer: interrupt took 4263000 ns",
      "[    5.000000] ==================================================================",
      "[    5.000001] BUG: KCSAN: data-race in tick_sched_do_timer / tick_nohz_next_event",
      "[    5.000002]  tick_sched_do_timer+0x2c/0xf0",
      "[    5.000003] Reported by Kernel Concurrency Sanitizer on:",
      "[    5.000004] ==================================================================",
      "[    6.000000] BUG: KCSAN: data-race in el_request [m] / step [m]",
      "[    6.000001]  el_request+0x42/0x100 [m]",
      "[    6.000002] Reported by Kernel Concurrency Sanitizer on:",
  };
  Lines want = {"BUG: KCSAN: data-race in el_request [m] / step [m]",
                " el_request+0x42/0x100 [m]",
                "Reported by Kernel Concurrency Sanitizer on:"};
  EXPECT_EQ(reported(log, "m"), want);
  EXPECT_TRUE(reported({"[    1.000000] clocksource: Switched to clocksource tsc",
                        "[   99.000000] reboot: Restarting system"},
                       "m")
                  .empty());
}

TEST(KernelLog, CutReportKeepsTheBlockedTasksLocksAndDropsNullUnsureFramesAndRegisters) {
  Lines report = {
      "INFO: task rawcall:85 blocked for more than 30 seconds.",
      "\"echo 0 > /proc/sys/kernel/hung_task_timeout_secs\" disables this message.",
      "Call Trace:",
      " ? __schedule+0x2f0/0x8a0",
      " careless_request+0x30/0x60 [careless]",
      "    [<0000000000000000>] 0x0",
      "Showing all locks held in the system:",
      "CPU: 1 PID: 20 Comm: khungtaskd Tainted: G           O       6.1.192 #1",
      "1 lock held by khungtaskd/20:",
      " #0: ffffffff82a5a0e0 (rcu_read_lock){....}-{1:2}, at: debug_show_all_locks+0x12/0x1c0",
      "1 lock held by rawcall/85:",
      " #0: ffffffffa0002100 (hang_lock){+.+.}-{3:3}, at: careless_request+0x20/0x60 [careless]",
      "------------[ cut here ]------------",
      "refcount_t: addition on 0; use-after-free.",
      "WARNING: CPU: 0 PID: 85 at lib/refcount.c:25 refcount_warn_saturate+0x97/0x110",
      "RIP: 0010:refcount_warn_saturate+0x97/0x110",
      "RSP: 0018:ffff88800c4cfd48 EFLAGS: 00010286",
      "R10: 0000000000000001 R11: ffffffff81166aed R12: car_fn+0x0/0x98 [careless, unloaded]",
  };
  Lines want = {
      "INFO: task rawcall:85 blocked for more than 30 seconds.",
      " careless_request+0x30/0x60 [careless]",
      "CPU: 1 PID: 20 Comm: khungtaskd Tainted: G           O       6.1.192 #1",
      " #0: ffffffffa0002100 (hang_lock){+.+.}-{3:3}, at: careless_request+0x20/0x60 [careless]",
      "refcount_t: addition on 0; use-after-free.",
      "WARNING: CPU: 0 PID: 85 at lib/refcount.c:25 refcount_warn_saturate+0x97/0x110",
      "RIP: 0010:refcount_warn_saturate+0x97/0x110",
  };
  EXPECT_EQ(cut_report(report), want);
}

TEST(KernelLog, CutReportOfACrashKeepsOnlyTheCrashingTasksLocks) {
  Lines report = {
      "Kernel panic - not syncing: modvm: crash test",
      "CPU: 1 PID: 38 Comm: insmod Tainted: G           O       6.1.192 #1",
      "1 lock held by rcu_tasks_kthre/11:",
      " #0: ffffffff821525e0 (rcu_read_lock){....}-{1:2}, at: rcu_lock_acquire+0x7/0x25",
      "1 lock held by insmod/38:",
      " #0: ffffffffa0002100 (crash_lock){+.+.}-{3:3}, at: crash_test_init+0x11/0x1000 [crash_test]",
  };
  Lines want = {
      "Kernel panic - not syncing: modvm: crash test",
      "CPU: 1 PID: 38 Comm: insmod Tainted: G           O       6.1.192 #1",
      " #0: ffffffffa0002100 (crash_lock){+.+.}-{3:3}, at: crash_test_init+0x11/0x1000 [crash_test]",
  };
  EXPECT_EQ(cut_report(report), want);
}

TEST(KernelLog, CutReportKeepsTheSizeOfTheRegionKasanFoundTheAccessIn) {
  Lines report = {
      "BUG: KASAN: slab-out-of-bounds in el_request+0x4a/0x90 [m]",
      "Write of size 4 at addr ffff888004f0c3c0 by task rawcall/85",
      "The buggy address belongs to the object at ffff888004f0c3a0",
      " which belongs to the cache kmalloc-32 of size 32",
      "The buggy address is located 0 bytes to the right of",
      " 32-byte region [ffff888004f0c3a0, ffff888004f0c3c0)",
      "Memory state around the buggy address:",
  };
  Lines want = {
      "BUG: KASAN: slab-out-of-bounds in el_request+0x4a/0x90 [m]",
      "Write of size 4 at addr ffff888004f0c3c0 by task rawcall/85",
      "The buggy address belongs to the object at ffff888004f0c3a0",
      "The buggy address is located 0 bytes to the right of",
      " 32-byte region [ffff888004f0c3a0, ffff888004f0c3c0)",
  };
  EXPECT_EQ(cut_report(report), want);
}

TEST(KernelLog, CutReportSaysHowManyLinesItLeftOut) {
  Lines report;
  for (int i = 0; i < 5; ++i)
    report.push_back(" fn" + std::to_string(i) + "+0x1/0x10 [m]");
  Lines cut = cut_report(report, 3);
  ASSERT_EQ(cut.size(), 4u);
  EXPECT_EQ(cut.back(), "(2 more lines)");
}

}  // namespace
}  // namespace modvm
