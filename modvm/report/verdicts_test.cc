#include "verdicts.h"

#include <gtest/gtest.h>

#include <sstream>

namespace modvm {
namespace {

using Result = Verdict::Result;

std::vector<Verdict> sample() {
  return {
      {"ok_mod", "unload", Result::passed, 20.04, "", {}},
      {"bad_mod", "unload", Result::failed, 3.0, "KASAN: use-after-free Read in step (a.c:9)",
       {"BUG: KASAN: use-after-free in step+0x1/0x2 [bad_mod] (a.c:9)", "<&> \"quoted\""}},
      {"bad_mod", "stress", Result::failed, 15.5, "KASAN: use-after-free Read in step (a.c:9)",
       {"BUG: KASAN: use-after-free in step+0x1/0x2 [bad_mod] (a.c:9)"}},
      {"bad_mod", "fuzz", Result::not_run, 0, "not run: the module already hung in stress", {}},
  };
}

const Kernel kKernel{"6.1.176", "kasan"};

TEST(Verdicts, SurviveTheirFile) {
  std::stringstream file;
  write_verdicts(file, sample());
  std::vector<Verdict> back = read_verdicts(file);
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ(back[1].module, "bad_mod");
  EXPECT_EQ(back[1].result, Result::failed);
  EXPECT_DOUBLE_EQ(back[2].seconds, 15.5);
  EXPECT_EQ(back[1].title, sample()[1].title);
  EXPECT_EQ(back[1].body, sample()[1].body);
  EXPECT_EQ(back[3].result, Result::not_run);
}

TEST(Verdicts, AFaultIsReportedOnceAndLaterChecksPointBackToIt) {
  std::vector<Verdict> once = once_each(sample());
  EXPECT_FALSE(once[1].body.empty());
  EXPECT_EQ(once[2].title, "KASAN: use-after-free Read in step (a.c:9) (as in unload)");
  EXPECT_TRUE(once[2].body.empty());
}

TEST(Verdicts, TextShowsEachModulesVerdictsThenATable) {
  std::ostringstream out;
  print_text(out, sample(), kKernel);
  EXPECT_EQ(out.str(),
            "ok_mod on Linux 6.1.176 (kasan):\n"
            "  not looked for on this kernel: data races (--flavour kcsan looks for them)\n"
            "PASS unload (20.0 s)\n"
            "1 passed, 0 failed\n"
            "bad_mod on Linux 6.1.176 (kasan):\n"
            "  not looked for on this kernel: data races (--flavour kcsan looks for them)\n"
            "FAIL unload (3.0 s): KASAN: use-after-free Read in step (a.c:9)\n"
            "  | BUG: KASAN: use-after-free in step+0x1/0x2 [bad_mod] (a.c:9)\n"
            "  | <&> \"quoted\"\n"
            "FAIL stress (15.5 s): KASAN: use-after-free Read in step (a.c:9) (as in unload)\n"
            "SKIP fuzz: not run: the module already hung in stress\n"
            "0 passed, 2 failed, 1 not run\n"
            "\n"
            "module   unload  stress  fuzz\n"
            "ok_mod   PASS    -       -   \n"
            "bad_mod  FAIL    FAIL    SKIP\n");
}

TEST(Verdicts, APassThatSaysHowToReplayItSaysItInTextAndKtap) {
  std::vector<Verdict> fuzz = {
      {"ok_mod", "fuzz", Result::passed, 30.5, "seed 7 (replay with --seed 7)", {}}};
  std::ostringstream text, ktap;
  print_text(text, fuzz, kKernel);
  EXPECT_NE(text.str().find("PASS fuzz (30.5 s): seed 7 (replay with --seed 7)\n"),
            std::string::npos)
      << text.str();
  print_ktap(ktap, fuzz, kKernel);
  EXPECT_NE(ktap.str().find("    # fuzz: seed 7 (replay with --seed 7)\n    # fuzz: time 30.5 s\n"
                            "    ok 1 fuzz\n"),
            std::string::npos)
      << ktap.str();
}

TEST(Verdicts, KtapHasASubtestPerModuleAndATestPerCheck) {
  std::ostringstream out;
  print_ktap(out, sample(), kKernel);
  EXPECT_EQ(out.str(),
            "KTAP version 1\n"
            "# modvm: Linux 6.1.176 (kasan)\n"
            "# modvm: not looked for on this kernel: data races (--flavour kcsan looks for them)\n"
            "1..2\n"
            "    KTAP version 1\n"
            "    # Subtest: ok_mod\n"
            "    1..1\n"
            "    # unload: time 20.0 s\n"
            "    ok 1 unload\n"
            "ok 1 ok_mod\n"
            "    KTAP version 1\n"
            "    # Subtest: bad_mod\n"
            "    1..3\n"
            "    # unload: KASAN: use-after-free Read in step (a.c:9)\n"
            "    # | BUG: KASAN: use-after-free in step+0x1/0x2 [bad_mod] (a.c:9)\n"
            "    # | <&> \"quoted\"\n"
            "    # unload: time 3.0 s\n"
            "    not ok 1 unload\n"
            "    # stress: KASAN: use-after-free Read in step (a.c:9) (as in unload)\n"
            "    # stress: time 15.5 s\n"
            "    not ok 2 stress\n"
            "    # fuzz: time 0.0 s\n"
            "    ok 3 fuzz # SKIP not run: the module already hung in stress\n"
            "not ok 2 bad_mod\n");
}

TEST(Verdicts, JunitEscapesWhatItQuotes) {
  std::ostringstream out;
  print_junit(out, sample(), kKernel);
  std::string xml = out.str();
  EXPECT_NE(xml.find("<testsuites name=\"modvm on Linux 6.1.176 (kasan)\" tests=\"4\" "
                     "failures=\"2\" skipped=\"1\""),
            std::string::npos);
  EXPECT_NE(xml.find("<failure message=\"KASAN: use-after-free Read in step (a.c:9)\">"),
            std::string::npos);
  EXPECT_NE(xml.find("&lt;&amp;&gt; &quot;quoted&quot;"), std::string::npos);
  EXPECT_NE(xml.find("<skipped message=\"not run: the module already hung in stress\"/>"),
            std::string::npos);
  EXPECT_EQ(xml.find("<&>"), std::string::npos);
  // A failure without a report of its own still says why in its text.
  EXPECT_NE(xml.find("(as in unload)\">KASAN: use-after-free Read in step (a.c:9) (as in "
                     "unload)\n</failure>"),
            std::string::npos)
      << xml;
}

TEST(Verdicts, CoverageIsSaidInEveryFormat) {
  CoverageByModule coverage;
  coverage["bad_mod"] = {"50% of the module's lines ran (3 of 6)",
                         {{"a.c", 7, 9, "step"}, {"a.c", 20, 20, ""}}};
  std::ostringstream text, ktap, junit;
  print_module_text(text, sample(), "bad_mod", kKernel, coverage);
  EXPECT_NE(text.str().find("  coverage: 50% of the module's lines ran (3 of 6)\n"
                            "  not run by any check: a.c:7-9 in step\n"
                            "  not run by any check: a.c:20\n"
                            "0 passed, 2 failed, 1 not run\n"),
            std::string::npos)
      << text.str();
  print_ktap_module(ktap, sample(), "bad_mod", 2, coverage);
  EXPECT_NE(ktap.str().find("    # coverage: 50% of the module's lines ran (3 of 6)\n"
                            "    # not run by any check: a.c:7-9 in step\n"
                            "    # not run by any check: a.c:20\n"
                            "not ok 2 bad_mod\n"),
            std::string::npos)
      << ktap.str();
  print_junit(junit, sample(), kKernel, coverage);
  EXPECT_NE(junit.str().find("<property name=\"not_run_by_any_check\" "
                             "value=\"a.c:7-9 in step; a.c:20\"/>"),
            std::string::npos);
  // A module without coverage says none.
  std::ostringstream other;
  print_module_text(other, sample(), "ok_mod", kKernel, coverage);
  EXPECT_EQ(other.str().find("coverage"), std::string::npos);
}

TEST(Verdicts, OnlyAllPassedIsSuccess) {
  EXPECT_FALSE(all_passed(sample()));
  EXPECT_TRUE(all_passed({sample()[0]}));
  EXPECT_FALSE(all_passed({}));
}

}  // namespace
}  // namespace modvm
