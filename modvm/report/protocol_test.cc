#include "protocol.h"

#include <gtest/gtest.h>

#include "boot_log.h"

namespace modvm::protocol {
namespace {

// The lines as written, word for word: a change to one is a change of the
// protocol, and must be made here too.
TEST(Protocol, EachLineIsWrittenAsTheHostReadsIt) {
  struct Case {
    Kind kind;
    std::string rest, text;
  } cases[] = {
      {Kind::loaded, "m 0xffffffffa0000000 8192 .text=0xffffffffa0000000",
       "modvm: loaded m 0xffffffffa0000000 8192 .text=0xffffffffa0000000"},
      {Kind::time, "unload 3.0", "modvm: time unload 3.0"},
      {Kind::note, "fuzz seed 7 (replay with --seed 7)",
       "modvm: note fuzz seed 7 (replay with --seed 7)"},
      {Kind::hung, "stress", "modvm: hung stress"},
      {Kind::stalled, "stress", "modvm: stalled stress"},
      {Kind::kept, "unload", "modvm: kept unload"},
      {Kind::fresh_boot, "", "modvm: fresh boot"},
      {Kind::report, "unreferenced object 0xffff888004f0c3a0 (size 32):",
       "modvm: report unreferenced object 0xffff888004f0c3a0 (size 32):"},
      {Kind::check_begins, "init-error", "modvm: check init-error begins"},
      {Kind::rmmod, "", "modvm: rmmod"},
      {Kind::unloaded, "", "modvm: unloaded"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(line(c.kind, c.rest), c.text);
    std::optional<Line> back = read(c.text);
    ASSERT_TRUE(back.has_value()) << c.text;
    EXPECT_EQ(back->kind, c.kind) << c.text;
    EXPECT_EQ(back->rest, c.rest) << c.text;
  }
}

TEST(Protocol, OnlyItsOwnLinesAreRead) {
  for (const char* text : {"modvm: loaded", "modvm: rmmod now", "modvm: time", "modvm:",
                           "modvm_watch: m was held going for 30 s; let go",
                           "unload: /proc/elevator is still there after rmmod"})
    EXPECT_FALSE(read(text).has_value()) << text;
  std::optional<Line> in = read_in("[   12.345678] modvm: check unload begins\r");
  ASSERT_TRUE(in.has_value());
  EXPECT_EQ(in->kind, Kind::check_begins);
  EXPECT_EQ(in->rest, "unload");
}

// What the guest writes, the host's verdicts rest on.
TEST(Protocol, AVerdictReadsWhatTheGuestWrote) {
  Boot boot;
  boot.out = {"KTAP version 1", "1..1", "# " + line(Kind::note, "fuzz seed 9 (replay with --seed 9)"),
              "# " + line(Kind::time, "fuzz 31.5"), "ok 1 fuzz"};
  boot.console = {"[ 1.0] " + line(Kind::check_begins, "fuzz")};
  Module module;
  module.name = "m";
  Judged judged = judge_boot(boot, {"fuzz"}, module, false);
  ASSERT_EQ(judged.verdicts.size(), 1u);
  EXPECT_DOUBLE_EQ(judged.verdicts[0].seconds, 31.5);
  EXPECT_EQ(judged.verdicts[0].title, "seed 9 (replay with --seed 9)");
}

}  // namespace
}  // namespace modvm::protocol
