#include "coverage.h"

#include <gtest/gtest.h>

#include <sstream>

namespace modvm {
namespace {

TEST(Coverage, Base64AsBusyboxWritesIt) {
  struct Case {
    std::string text;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"", std::string()},
      {"YQ==", std::string("a")},
      {"YWI=", std::string("ab")},
      {"YWJj", std::string("abc")},
      {"AAEC\n/w==\n", std::string("\x00\x01\x02\xff", 4)},
      {"YW*j", std::nullopt},      // not base64
      {"YWJjZ", std::nullopt},     // cut short
      {"YQ==YQ==", std::nullopt},  // data after the end
  };
  for (const Case& c : cases)
    EXPECT_EQ(base64_decode(c.text), c.want) << c.text;
}

TEST(Coverage, TheGuestsFilesAreReadWholeOrNotAtAll) {
  Lines sent = {"modcheck: a line of its own",
                "MODVM-GCDA /sys/kernel/debug/gcov/tmp/m/lift.gcda",
                "YWJj",
                "ZA==",
                "MODVM-GCDA-END",
                "MODVM-GCDA /sys/kernel/debug/gcov/tmp/m/cut.gcda",
                "YWJj"};
  std::map<std::string, std::string> files = read_gcda(sent);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files["/sys/kernel/debug/gcov/tmp/m/lift.gcda"], "abcd");
}

const Lines kGcov = {
    "        -:    0:Source:/tmp/m/lift.c",
    "        -:    0:Runs:1",
    "function el_start called 2 returned 100% blocks executed 80%",
    "        2:    5:{",
    "        2:    6:\tif (busy)",
    "    #####:    7:\t\treturn -EBUSY;",
    "        -:    8:\t/* a comment */",
    "    =====:    9:\t\tcleanup();",
    "       1*:   10:\treturn 0;",
    "        -:   11:}",
};

TEST(Coverage, GcovsCountsNameTheLinesWithCodeAndThoseThatRan) {
  Lines report = kGcov;
  report.push_back("        -:    0:Source:/usr/src/tree/include/linux/list.h");
  report.push_back("        3:   88:\tWRITE_ONCE(list->next, list);");
  std::vector<FileCoverage> files = parse_gcov(report);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].file, "/tmp/m/lift.c");
  EXPECT_EQ(files[0].code, (std::set<int>{5, 6, 7, 9, 10}));
  EXPECT_EQ(files[0].ran, (std::set<int>{5, 6, 10}));
  EXPECT_EQ(files[1].file, "/usr/src/tree/include/linux/list.h");
  EXPECT_EQ(files[1].ran, (std::set<int>{88}));
}

const Lines kSource = {
    "static DEFINE_MUTEX(lock);", // 1
    "",                           // 2
    "static int el_start(void)",  // 3
    "{",                          // 4
    "\tint x;",                   // 5
    "\tif (busy)",                // 6
    "\t\treturn -EBUSY;",         // 7
    "\t/* a comment */",          // 8
    "\t\tcleanup();",             // 9
    "\treturn 0;",                // 10
    "}",                          // 11
    "",                           // 12
    "static void __exit",         // 13
    "lift_exit(void)",            // 14
    "{",                          // 15
    "\tstop();",                  // 16
    "}",                          // 17
};

TEST(Coverage, LinesNoneRanAreRangesNamedByTheirFunction) {
  Coverage coverage{"lift", {}};
  FileCoverage boot1 = parse_gcov(kGcov)[0];
  boot1.file = "lift.c";
  // A second boot ran the exit, but not line 16's neighbour 7.
  FileCoverage boot2{"lift.c", {16}, {}};
  coverage.add(boot1);
  coverage.add(boot2);
  std::vector<Unrun> unrun = unrun_ranges(coverage, [](const std::string& file) {
    return file == "lift.c" ? std::optional<Lines>(kSource) : std::nullopt;
  });
  ASSERT_EQ(unrun.size(), 2u);
  // 7 and 9 are one range: line 8 between them holds no code.
  EXPECT_EQ(unrun_text(unrun[0]), "lift.c:7-9 in el_start");
  // Another function is another range, though no line ran between.
  EXPECT_EQ(unrun_text(unrun[1]), "lift.c:16 in lift_exit");
  EXPECT_EQ(coverage_summary(coverage), "50% of the module's lines ran (3 of 6)");
}

TEST(Coverage, AFunctionIsTheOneWhoseBodyHoldsTheLine) {
  EXPECT_EQ(function_at(kSource, 7), "el_start");
  EXPECT_EQ(function_at(kSource, 16), "lift_exit");
  // The head itself, where gcov counts the entry, and a head on two lines.
  EXPECT_EQ(function_at(kSource, 3), "el_start");
  EXPECT_EQ(function_at(kSource, 14), "lift_exit");
  EXPECT_EQ(function_at(kSource, 17), "lift_exit");
  EXPECT_EQ(function_at(kSource, 12), "");
  EXPECT_EQ(function_at(kSource, 1), "");  // a definition of data, not a function
}

TEST(Coverage, SurvivesTheVerdictsFileAndAddsUpOverBoots) {
  Coverage one{"lift", {}}, two{"lift", {}};
  one.add({"lift.c", {1, 2, 3}, {1}});
  two.add({"lift.c", {1, 2, 3}, {2}});
  two.add({"rider.h", {4}, {}});
  std::stringstream file;
  write_coverage(file, one);
  file << "verdict lift unload passed 1.0\n";
  write_coverage(file, two);
  std::vector<Coverage> back = read_coverage(file);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].files["lift.c"].ran, (std::set<int>{1, 2}));
  EXPECT_EQ(back[0].files["rider.h"].code, (std::set<int>{4}));
  EXPECT_TRUE(back[0].files["rider.h"].ran.empty());
}

}  // namespace
}  // namespace modvm
