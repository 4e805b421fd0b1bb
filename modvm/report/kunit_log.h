// A KUnit suite's results, read from the kernel's console of the boot that
// ran it: each case's verdict with its diagnostics, and whether the suite
// finished at all (a case that crashed or hung the kernel ends it early).
// Pure: no I/O.
#ifndef MODVM_REPORT_KUNIT_LOG_H_
#define MODVM_REPORT_KUNIT_LOG_H_

#include <iosfwd>
#include <string>
#include <vector>

#include "kernel_log.h"

namespace modvm {

struct KunitCase {
  std::string name;
  bool ok = false;
  bool skipped = false;
  Lines diagnostics;  // its "# " lines and what they quote, unindented
};

struct KunitSuite {
  std::string name;
  bool started = false;   // its "# Subtest:" line was seen
  bool finished = false;  // its own "ok N NAME" line was seen
  std::vector<KunitCase> cases;
  Lines after;  // the console's lines after the last case, when unfinished
};

// The suite `name` in the console's lines (stamped or not).
KunitSuite read_kunit(const Lines& console, const std::string& name);

// "KUnit suite NAME: 9 passed, 0 failed" and a line per case, failures
// with their diagnostics; an unfinished suite says where it stopped and
// shows the kernel's last lines.
void print_kunit(std::ostream& out, const KunitSuite& suite);

// Whether the suite finished with every case passed or skipped.
bool kunit_passed(const KunitSuite& suite);

}  // namespace modvm

#endif  // MODVM_REPORT_KUNIT_LOG_H_
