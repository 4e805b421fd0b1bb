#include "html.h"

#include <gtest/gtest.h>

#include <sstream>

namespace modvm {
namespace {

using Result = Verdict::Result;

TEST(Html, PlacesAreTheReportsFileLinesEachOnce) {
  struct Case {
    Lines report;
    std::vector<Place> want;
  };
  const Case cases[] = {
      {{"KASAN: use-after-free Read in el_stop (lift.c:140)"}, {{"lift.c", 140}}},
      {{" car_fn+0x30/0x80 [m] (lift.c:142, inlined by el_request at lift.c:209)",
        " car_fn+0x30/0x80 [m] (lift.c:142)"},
       {{"lift.c", 142}, {"lift.c", 209}}},
      {{"include/linux/list.h:88 in a kernel header", "rider.h:7"},
       {{"list.h", 88}, {"rider.h", 7}}},
      {{"no place here", "version 6.1.0"}, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(places_named(c.report), c.want) << c.report[0];
}

const Kernel kKernel{"6.1.176", "kasan"};

std::string page(const std::vector<Verdict>& verdicts) {
  Lines source;
  for (int n = 1; n <= 30; ++n)
    source.push_back("line " + std::to_string(n) + (n == 12 ? " <&> here" : ""));
  std::ostringstream out;
  print_html(
      out, verdicts, kKernel,
      [&](std::string_view module, std::string_view file) -> std::optional<Lines> {
        if (module == "bad_mod" && file == "lift.c")
          return source;
        return std::nullopt;
      },
      "2026-12-09 19:00 UTC", 2);
  return out.str();
}

TEST(Html, AFailureShowsItsReportAndTheModulesSourceAroundItsLine) {
  std::string html = page({
      {"ok_mod", "unload", Result::passed, 20.04, "", {}},
      {"bad_mod", "unload", Result::failed, 3.0, "KASAN: use-after-free Read in step (lift.c:12)",
       {"BUG: KASAN: use-after-free in step+0x1/0x2 [bad_mod] (lift.c:12)", "<script>"}},
      {"bad_mod", "fuzz", Result::passed, 30.0, "seed 77: 4000 calls", {}},
  });
  // The table: a row per module, each cell linking to its verdict.
  EXPECT_NE(html.find("<tr id=\"m-ok_mod\">"), std::string::npos);
  EXPECT_NE(html.find("<td class=\"fail\"><a href=\"#r-bad_mod-unload\""), std::string::npos);
  EXPECT_NE(html.find("<details id=\"r-bad_mod-unload\">"), std::string::npos);
  // The report, escaped: nothing in it runs.
  EXPECT_EQ(html.find("<script>\n</pre>"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;"), std::string::npos);
  // The source, two lines each side, the named line marked and escaped.
  EXPECT_NE(html.find("<figcaption>lift.c:12</figcaption>"), std::string::npos);
  EXPECT_NE(html.find("<span class=\"named\">   12  line 12 &lt;&amp;&gt; here</span>"),
            std::string::npos);
  EXPECT_NE(html.find("   10  line 10"), std::string::npos);
  EXPECT_EQ(html.find("    9  line 9"), std::string::npos);
  EXPECT_EQ(html.find("   15  line 15"), std::string::npos);
  // The kernel, flavour, what it did not look for, the seed, the times.
  EXPECT_NE(html.find("Linux 6.1.176 (kasan)"), std::string::npos);
  EXPECT_NE(html.find("data races"), std::string::npos);
  EXPECT_NE(html.find("fuzz seed 77 (replay with --seed 77)"), std::string::npos);
  EXPECT_NE(html.find("FAIL unload (3.0 s)"), std::string::npos);
}

TEST(Html, ALineBeyondTheSourceAndAnotherModulesFileShowNoSource) {
  std::string html = page({
      {"bad_mod", "leaks", Result::failed, 1.0, "leak in alloc (lift.c:99)", {}},
      {"other", "leaks", Result::failed, 1.0, "leak in alloc (lift.c:12)", {}},
  });
  EXPECT_EQ(html.find("<figure>"), std::string::npos);
}

TEST(Html, TheLinesNoCheckRanAreShadedInTheirSource) {
  Lines source;
  for (int n = 1; n <= 30; ++n)
    source.push_back("line " + std::to_string(n));
  CoverageByModule coverage;
  coverage["bad_mod"] = {"50% of the module's lines ran (3 of 6)",
                         {{"lift.c", 7, 9, "el_start"}}};
  std::ostringstream out;
  print_html(
      out, {{"bad_mod", "unload", Result::passed, 1.0, "", {}}}, kKernel,
      [&](std::string_view, std::string_view file) -> std::optional<Lines> {
        return file == "lift.c" ? std::optional<Lines>(source) : std::nullopt;
      },
      "now", 6, coverage);
  std::string html = out.str();
  EXPECT_NE(html.find("<summary>coverage: 50% of the module's lines ran (3 of 6); 1 range that "
                      "no check ran</summary>"),
            std::string::npos);
  EXPECT_NE(html.find("not run by any check: lift.c:7-9 in el_start"), std::string::npos);
  EXPECT_NE(html.find("<figcaption>lift.c:7-9</figcaption>"), std::string::npos);
  for (int n : {7, 8, 9})
    EXPECT_NE(html.find("<span class=\"unrun\">    " + std::to_string(n) + "  line "),
              std::string::npos)
        << n;
  EXPECT_NE(html.find("<span>    6  line 6</span>"), std::string::npos);
  EXPECT_EQ(html.find("<span class=\"unrun\">   10"), std::string::npos);
}

TEST(Html, AnchorsStayPlainWhateverTheNames) {
  std::string html = page({{"we\"ird mod", "unload", Result::failed, 1.0, "x", {}}});
  EXPECT_NE(html.find("id=\"m-we_ird_mod\""), std::string::npos);
  EXPECT_NE(html.find("we&quot;ird mod"), std::string::npos);
}

}  // namespace
}  // namespace modvm
