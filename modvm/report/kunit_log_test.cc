#include "kunit_log.h"

#include <gtest/gtest.h>

#include <sstream>

namespace modvm {
namespace {

// A suite as 6.1's KUnit prints it on the console, a warning from a case
// in between.
const Lines kSuite = {
    "[    3.100000] KTAP version 1",
    "[    3.100001] 1..1",
    "[    3.100002]     KTAP version 1",
    "[    3.100003]     # Subtest: cabgate",
    "[    3.100004]     1..3",
    "[    3.100005]     ok 1 cabgate_test_calls_reach_ops",
    "[    3.100006] WARNING: CPU: 1 PID: 52 at kernel/cabgate.c:204 cabgate_unregister_ops+0x9c/0xd0",
    "[    3.100007]  cabgate_test_start+0x71/0x90",
    "[    3.100008]     # cabgate_test_unregister_inside: EXPECTATION FAILED at kernel/cabgate_test.c:265",
    "[    3.100009]     Expected cabgate_call(CABGATE_REQUEST, 0, 1, 2) == 0, but",
    "[    3.100010]         cabgate_call(CABGATE_REQUEST, 0, 1, 2) == -38",
    "[    3.100011]     not ok 2 cabgate_test_unregister_inside",
    "[    3.100012]     ok 3 cabgate_test_answers # SKIP no reason",
    "[    3.100013] # cabgate: pass:1 fail:1 skip:1 total:3",
    "[    3.100014] # Totals: pass:1 fail:1 skip:1 total:3",
    "[    3.100015] not ok 1 cabgate",
};

TEST(KunitLog, ReadsEachCaseWithItsDiagnostics) {
  KunitSuite suite = read_kunit(kSuite, "cabgate");
  EXPECT_TRUE(suite.started);
  EXPECT_TRUE(suite.finished);
  ASSERT_EQ(suite.cases.size(), 3u);
  EXPECT_TRUE(suite.cases[0].ok);
  EXPECT_TRUE(suite.cases[0].diagnostics.empty());
  EXPECT_FALSE(suite.cases[1].ok);
  EXPECT_EQ(suite.cases[1].diagnostics,
            (Lines{"# cabgate_test_unregister_inside: EXPECTATION FAILED at kernel/cabgate_test.c:265",
                   "Expected cabgate_call(CABGATE_REQUEST, 0, 1, 2) == 0, but",
                   "cabgate_call(CABGATE_REQUEST, 0, 1, 2) == -38"}));
  EXPECT_TRUE(suite.cases[2].ok);
  EXPECT_TRUE(suite.cases[2].skipped);
  EXPECT_FALSE(kunit_passed(suite));

  std::ostringstream out;
  print_kunit(out, suite);
  EXPECT_EQ(out.str(),
            "KUnit suite cabgate of the bench's kernel, not of the module: 2 passed, 1 failed\n"
            "  ok cabgate_test_calls_reach_ops\n"
            "  not ok cabgate_test_unregister_inside\n"
            "      # cabgate_test_unregister_inside: EXPECTATION FAILED at kernel/cabgate_test.c:265\n"
            "      Expected cabgate_call(CABGATE_REQUEST, 0, 1, 2) == 0, but\n"
            "      cabgate_call(CABGATE_REQUEST, 0, 1, 2) == -38\n"
            "  ok cabgate_test_answers (skipped)\n");
}

TEST(KunitLog, SaysWhereASuiteThatDidNotFinishStopped) {
  Lines console(kSuite.begin(), kSuite.begin() + 6);
  console.push_back("[   33.000000] INFO: task cabgate_test/0:60 blocked for more than 30 seconds.");
  console.push_back("[   33.000001] Kernel panic - not syncing: hung_task: blocked tasks");
  KunitSuite suite = read_kunit(console, "cabgate");
  EXPECT_FALSE(suite.finished);
  EXPECT_FALSE(kunit_passed(suite));
  std::ostringstream out;
  print_kunit(out, suite);
  EXPECT_EQ(out.str(),
            "KUnit suite cabgate of the bench's kernel, not of the module: 1 passed, 0 failed, "
            "then the kernel stopped in the next case\n"
            "  ok cabgate_test_calls_reach_ops\n"
            "  | INFO: task cabgate_test/0:60 blocked for more than 30 seconds.\n"
            "  | Kernel panic - not syncing: hung_task: blocked tasks\n");
}

TEST(KunitLog, ASuiteThatPassedIsOneLine) {
  Lines console = {"[    3.1] KTAP version 1", "[    3.1] 1..1", "[    3.1]     KTAP version 1",
                   "[    3.1]     # Subtest: cabgate", "[    3.1]     1..1",
                   "[    3.1]     ok 1 cabgate_test_calls_reach_ops",
                   "[    3.1] # cabgate: pass:1 fail:0 skip:0 total:1", "[    3.1] ok 1 cabgate"};
  KunitSuite suite = read_kunit(console, "cabgate");
  ASSERT_TRUE(kunit_passed(suite));
  std::ostringstream out;
  print_kunit(out, suite);
  EXPECT_EQ(out.str(),
            "KUnit suite cabgate of the bench's kernel, not of the module: 1 passed, 0 failed\n");
}

TEST(KunitLog, AnotherSuiteOrNoneIsNotRun) {
  for (const std::string& name : {std::string("cabgate_other"), std::string("cab")}) {
    KunitSuite suite = read_kunit(kSuite, name);
    EXPECT_FALSE(suite.started) << name;
    EXPECT_FALSE(kunit_passed(suite)) << name;
  }
  std::ostringstream out;
  print_kunit(out, read_kunit({}, "cabgate"));
  EXPECT_EQ(out.str(), "KUnit suite cabgate: not run (the kernel has no such suite, or did not"
                       " boot as far as its tests)\n");
}

}  // namespace
}  // namespace modvm
