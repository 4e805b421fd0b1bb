#include "boot_log.h"

#include <gtest/gtest.h>

namespace modvm {
namespace {

const std::vector<std::string> kChecks = {"unload", "contract", "stress"};

Module elevator() {
  Module module;
  module.name = "m";
  module.symbols = {{".text", "car_fn", 0x0, 0x80}, {".text", "sample_fn", 0x80, 0x60}};
  module.lines = [](const std::vector<std::string>& frames) {
    std::map<std::string, std::string> lines;
    for (const std::string& frame : frames)
      if (frame.rfind("car_fn+", 0) == 0)
        lines[frame] = "elevator.c:200";
    return lines;
  };
  return module;
}

const char* kLoaded = "# modvm: loaded m 0xffffffffa0000000 8192 .text=0xffffffffa0000000";

std::vector<Verdict::Result> results(const Judged& judged) {
  std::vector<Verdict::Result> out;
  for (const Verdict& v : judged.verdicts)
    out.push_back(v.result);
  return out;
}

TEST(BootLog, ChecksThatAllPassedCarryTheirTimes) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..3", kLoaded, "# modvm: time unload 20.5", "ok 1 unload",
              "# modvm: time contract 0.1", "ok 2 contract", "# modvm: time stress 21.0",
              "ok 3 stress"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  ASSERT_EQ(judged.verdicts.size(), 3u);
  EXPECT_EQ(judged.verdicts[0].result, Verdict::Result::passed);
  EXPECT_DOUBLE_EQ(judged.verdicts[0].seconds, 20.5);
  EXPECT_TRUE(judged.remaining.empty());
}

TEST(BootLog, AKernelReportFailsItsCheckAndTheRestRunOnlyInAFreshBoot) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..3", kLoaded, "# unload: the kernel reported: BUG: x",
              "# modvm: time unload 3.0", "not ok 1 unload", "# modvm: fresh boot"};
  boot.console = {"[ 1.0] modvm: check unload begins",
                  "[ 2.0] BUG: scheduling while atomic: elevator_car/75/0x00000002",
                  "[ 2.1]  car_fn+0x30/0x80 [m]"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  EXPECT_EQ(judged.verdicts[0].title, "BUG: scheduling while atomic in car_fn (elevator.c:200)");
  Lines body = {"BUG: scheduling while atomic: elevator_car/75/0x00000002",
                " car_fn+0x30/0x80 [m] (elevator.c:200)"};
  EXPECT_EQ(judged.verdicts[0].body, body);
  ASSERT_EQ(judged.verdicts.size(), 3u);
  EXPECT_EQ(judged.verdicts[2].title,
            "not run: the kernel already reported a fault in unload (--keep-going runs the "
            "checks left in a fresh boot)");

  Judged going = judge_boot(boot, kChecks, elevator(), true);
  EXPECT_EQ(going.verdicts.size(), 1u);
  EXPECT_EQ(going.remaining, (std::vector<std::string>{"contract", "stress"}));
}

// A backtrace's entry is the address after a call, the statement after
// the faulty one; a faulting instruction is its own.
TEST(BootLog, AReturnAddressIsLookedUpInTheCallItReturnsFrom) {
  Module module = elevator();
  std::vector<std::string> asked;
  module.lines = [&asked](const std::vector<std::string>& frames) {
    asked = frames;
    std::map<std::string, std::string> lines;
    for (const std::string& frame : frames)
      lines[frame] = frame == "car_fn+0x2f/0x80" ? "elevator.c:142" : "elevator.c:300";
    return lines;
  };
  Boot boot;
  boot.out = {"KTAP version 1", "1..3", kLoaded, "# modvm: time unload 3.0", "not ok 1 unload"};
  boot.console = {"[ 1.0] modvm: check unload begins",
                  "[ 2.0] BUG: unable to handle page fault for address: 0000000000000008",
                  "[ 2.1] RIP: 0010:sample_fn+0x10/0x60 [m]",
                  "[ 2.2] Call Trace:",
                  "[ 2.3]  car_fn+0x30/0x80 [m]",
                  "[ 2.4]  sample_fn+0x0/0x60 [m]"};
  Judged judged = judge_boot(boot, kChecks, module, false);
  EXPECT_EQ(asked, (std::vector<std::string>{"sample_fn+0x10/0x60", "car_fn+0x2f/0x80",
                                             "sample_fn+0x0/0x60"}));
  Lines body = {"BUG: unable to handle page fault for address: 0000000000000008",
                "RIP: 0010:sample_fn+0x10/0x60 [m] (elevator.c:300)",
                " car_fn+0x30/0x80 [m] (elevator.c:142)", " sample_fn+0x0/0x60 [m] (elevator.c:300)"};
  ASSERT_FALSE(judged.verdicts.empty());
  EXPECT_EQ(judged.verdicts[0].body, body);
}

TEST(BootLog, WhatAModuleLeftBehindIsOneFaultNotAFaultOfEveryCheckAfter) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..3", kLoaded,
              "# unload: /proc/elevator is still there after rmmod",
              "# modvm: time unload 3.0", "not ok 1 unload", "# modvm: fresh boot"};
  boot.console = {"[ 1.0] modvm: check unload begins"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  ASSERT_EQ(judged.verdicts.size(), 3u);
  EXPECT_EQ(judged.verdicts[0].title, "/proc/elevator is still there after rmmod");
  EXPECT_EQ(judged.verdicts[1].title,
            "not run: unload left the module's traces behind (--keep-going runs the checks "
            "left in a fresh boot)");
  EXPECT_EQ(judge_boot(boot, kChecks, elevator(), true).remaining,
            (std::vector<std::string>{"contract", "stress"}));
}

TEST(BootLog, AGuestThatHungFailsItsCheckAndTheRestAreNotRunUnlessKeepGoing) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..3", "ok 1 unload"};
  boot.console = {"[ 1.0] modvm: check contract begins", "[ 1.1] modvm: rmmod",
                  "[ 1.2] modvm: unloaded", "[ 1.3] modvm: loaded m 0xffffffffa0000000 8192",
                  "[40.0] INFO: task rawcall:85 blocked for more than 30 seconds.",
                  "[40.1]  car_fn+0x30/0x80 [m]",
                  "[40.2] Kernel panic - not syncing: hung_task: blocked tasks",
                  "MODVM-END 0"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  EXPECT_EQ(results(judged), (std::vector<Verdict::Result>{Verdict::Result::passed,
                                                           Verdict::Result::failed,
                                                           Verdict::Result::not_run}));
  EXPECT_EQ(judged.verdicts[1].title, "INFO: task hung in car_fn (elevator.c:200)");
  EXPECT_EQ(judged.verdicts[1].body.front(),
            "the guest hung, and the kernel's detector ended it");
  EXPECT_DOUBLE_EQ(judged.verdicts[1].seconds, 39.2);
  EXPECT_EQ(judged.verdicts[2].title, "not run: the module already hung in contract");

  Judged going = judge_boot(boot, kChecks, elevator(), true);
  EXPECT_EQ(going.verdicts.size(), 2u);
  EXPECT_EQ(going.remaining, (std::vector<std::string>{"stress"}));
}

TEST(BootLog, ACrashInTheCodeOfTheUnloadedModuleIsNamedFromItsSymbols) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..3", kLoaded};
  boot.console = {"[ 1.0] modvm: check unload begins", "[ 1.5] modvm: rmmod",
                  "[ 1.6] modvm: unloaded",
                  "[ 2.0] BUG: unable to handle page fault for address: ffffffffa0000084",
                  "[ 2.1] RIP: 0010:0xffffffffa0000084",
                  "[ 2.2] Kernel panic - not syncing: Fatal exception in interrupt"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  EXPECT_EQ(judged.verdicts[0].title,
            "BUG: unable to handle page fault in sample_fn+0x4 of the unloaded m: a thread, "
            "timer, work item or RCU callback outlived the module");
  EXPECT_EQ(judged.verdicts[0].body.front(), "the kernel crashed, after rmmod");
  EXPECT_EQ(judged.verdicts[1].title, "not run: the module already crashed the kernel in unload");
}

TEST(BootLog, AGuestThatStoppedBeatingIsSaidToHaveStoppedMakingProgress) {
  Boot boot;
  boot.silent = true;
  boot.out = {"KTAP version 1", "1..3", kLoaded};
  boot.console = {"[ 1.0] modvm: check unload begins", "[99.0] Uhhuh. NMI received",
                  "[99.1] Kernel panic - not syncing: NMI: Not continuing",
                  "[99.2]  car_fn+0x30/0x80 [m]"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  EXPECT_EQ(judged.verdicts[0].title,
            "the guest stopped making progress, in car_fn (elevator.c:200)");
}

TEST(BootLog, AGuestThatNeverRanTheChecksFailsTheFirstWithTheConsolesEnd) {
  Boot boot;
  boot.console = {"[ 0.5] Kernel panic - not syncing: VFS: Unable to mount root fs"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  EXPECT_EQ(judged.verdicts[0].title, "the guest ended before the checks began");
  EXPECT_EQ(judged.verdicts[0].body, boot.console);
  EXPECT_EQ(judged.verdicts[1].result, Verdict::Result::not_run);
}

TEST(BootLog, ChecksAfterTheOneTheGuestWasKeptForAreNotRun) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..3", "# unload: rmmod failed: Device or resource busy",
              "not ok 1 unload", "# modvm: kept unload"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  ASSERT_EQ(judged.verdicts.size(), 3u);
  EXPECT_EQ(judged.verdicts[0].title, "rmmod failed: Device or resource busy");
  EXPECT_EQ(judged.verdicts[2].title, "not run: the guest was kept at a shell after unload failed");
  EXPECT_TRUE(judged.remaining.empty());
}

TEST(BootLog, ACheckWithoutAKernelReportIsTitledByItsFirstFindingNotItsNotes) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..1", "# modvm: note fuzz seed 7 (replay with --seed 7)",
              "# fuzz: request(3, 1, 2) answered -1 EINVAL: a refusal must be the plain value 1",
              "# fuzz: request(-1, 1, 2) answered -1 EINVAL: a refusal must be the plain value 1",
              "not ok 1 fuzz"};
  Judged judged = judge_boot(boot, {"fuzz"}, elevator(), false);
  EXPECT_EQ(judged.verdicts[0].title,
            "request(3, 1, 2) answered -1 EINVAL: a refusal must be the plain value 1 (and 1 more)");
  Lines body = {"request(-1, 1, 2) answered -1 EINVAL: a refusal must be the plain value 1",
                "seed 7 (replay with --seed 7)"};
  EXPECT_EQ(judged.verdicts[0].body, body);
}

TEST(BootLog, APassingFuzzSaysItsSeedSoThatItCanBeReplayed) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..1", "# modvm: note fuzz seed 7 (replay with --seed 7)",
              "# modvm: time fuzz 30.5", "ok 1 fuzz"};
  Judged judged = judge_boot(boot, {"fuzz"}, elevator(), false);
  ASSERT_EQ(judged.verdicts.size(), 1u);
  EXPECT_EQ(judged.verdicts[0].result, Verdict::Result::passed);
  EXPECT_EQ(judged.verdicts[0].title, "seed 7 (replay with --seed 7)");
}

TEST(BootLog, AFailureAfterOtherChecksSaysHowToReplayThemTogether) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..3", "ok 1 unload", "ok 2 contract",
              "# stress: calls answered -1 ENOSYS while the module was loaded (3 of 900)",
              "not ok 3 stress"};
  Judged judged = judge_boot(boot, kChecks, elevator(), false);
  ASSERT_EQ(judged.verdicts.size(), 3u);
  EXPECT_EQ(judged.verdicts[2].body,
            (Lines{"it ran after unload,contract in one boot: if --only stress passes alone, "
                   "replay with --only unload,contract,stress"}));
  EXPECT_TRUE(judged.verdicts[0].body.empty());
}

// Nothing the bench does itself is the module's fault; what the module
// does through the bench's programs (a call, an rmmod) is.
TEST(BootLog, AReportOfTheBenchsOwnTaskIsNotTheModulesFault) {
  struct Case {
    const char* kind;
    Lines console;
    Verdict::Result result;
  } cases[] = {
      {"the bench's task, no part of the module",
       {"[ 2.0] BUG: kernel NULL pointer dereference, address: 0000000000000008",
        "[ 2.1] CPU: 1 PID: 85 Comm: modcheck Not tainted 6.1.194 #1",
        "[ 2.2] RIP: 0010:seq_read_iter+0x4a/0x4f0", "[ 2.3] Call Trace:",
        "[ 2.4]  vfs_read+0x1a2/0x2c0"},
       Verdict::Result::not_run},
      {"the bench's task in the module's code",
       {"[ 2.0] BUG: kernel NULL pointer dereference, address: 0000000000000008",
        "[ 2.1] CPU: 1 PID: 85 Comm: modcheck Not tainted 6.1.194 #1",
        "[ 2.2] RIP: 0010:car_fn+0x30/0x80 [m]"},
       Verdict::Result::failed},
      {"the bench's task interrupted by code where a module lay",
       {"[ 2.0] BUG: unable to handle page fault for address: ffffffffa000563f",
        "[ 2.1] CPU: 1 PID: 85 Comm: modcheck Not tainted 6.1.194 #1",
        "[ 2.2] RIP: 0010:0xffffffffa000563f", "[ 2.3]  <IRQ>",
        "[ 2.4]  call_timer_fn+0x2a/0x140"},
       Verdict::Result::failed},
      {"the bench's rmmod freeing what the module left armed",
       {"[ 2.0] ODEBUG: free active (active state 0) object type: timer_list hint: "
        "delayed_work_timer_fn+0x0/0x40",
        "[ 2.1] CPU: 0 PID: 70 Comm: modcheck Not tainted 6.1.194 #1",
        "[ 2.2] Call Trace:", "[ 2.3]  free_module+0x1b0/0x2e0"},
       Verdict::Result::failed},
  };
  for (const Case& c : cases) {
    Boot boot;
    boot.out = {"KTAP version 1", "1..1", "# unload: the kernel reported: x",
                "# modvm: time unload 3.0", "not ok 1 unload"};
    boot.console = {"[ 1.0] modvm: check unload begins"};
    boot.console.insert(boot.console.end(), c.console.begin(), c.console.end());
    Judged judged = judge_boot(boot, {"unload"}, elevator(), false);
    ASSERT_EQ(judged.verdicts.size(), 1u) << c.kind;
    EXPECT_EQ(judged.verdicts[0].result, c.result) << c.kind << ": " << judged.verdicts[0].title;
  }
}

}  // namespace
}  // namespace modvm
