// `elevmod run`: put a command under the elevator filter and exec it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace elevmod {

struct RunOptions {
  std::string socket;  // as given with --socket, or empty
  // Fixed answers for 323, 324 and 325; with any of them set, no service is
  // used and the calls not named fail with -1 (ENOSYS).
  std::array<std::optional<int32_t>, 3> replies;
  char** command = nullptr;  // null-terminated; command[0] is run as given
};

// Execs the command under the filter; returns only on failure, with the exit
// status to use (125 elevmod's own failure, 126 not executable, 127 not
// found).  *err says what failed.
int run_command(const RunOptions& options, std::string* err);

}  // namespace elevmod
