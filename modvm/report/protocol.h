// The lines modcheck, in the guest, writes for the host: "# " and one of
// these on its standard output (KTAP diagnostics), or one of these in the
// kernel's log (which reaches the host even when the guest crashes).  One
// table writes and reads them both, so the two sides cannot drift apart.
//
//   modvm: loaded NAME BASE SIZE SECTION=ADDRESS...
//   modvm: time CHECK SECONDS
//   modvm: note CHECK TEXT
//   modvm: hung CHECK          modvm: stalled CHECK      modvm: kept CHECK
//   modvm: fresh boot
//   modvm: report LINE         (a kmemleak report, line by line)
//   modvm: check CHECK begins  modvm: rmmod              modvm: unloaded
#ifndef MODVM_REPORT_PROTOCOL_H_
#define MODVM_REPORT_PROTOCOL_H_

#include <optional>
#include <string>
#include <string_view>

namespace modvm::protocol {

enum class Kind {
  loaded,
  time,
  note,
  hung,
  stalled,
  kept,
  fresh_boot,
  report,
  check_begins,
  rmmod,
  unloaded,
};

struct Line {
  Kind kind;
  std::string rest;  // what follows the kind's words ("unload 3.0")
};

// The line of `kind` with `rest` (nothing for the kinds that take none).
std::string line(Kind kind, std::string_view rest = "");

// The line `text` is, when it is one of them, whole.
std::optional<Line> read(std::string_view text);

// The line that a line of the kernel's log ("[ 1.2] modvm: rmmod")
// carries, if any.
std::optional<Line> read_in(std::string_view console_line);

}  // namespace modvm::protocol

#endif  // MODVM_REPORT_PROTOCOL_H_
