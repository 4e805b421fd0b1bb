#include "cabgate.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calls.h"

namespace {

using cabgate::kRequestCall;
using cabgate::kStartCall;
using cabgate::kStopCall;

// The module's start and stop take no arguments and ignore these.  Without
// the module, 323 is userfaultfd and 325 mlock2 on stock x86-64 kernels,
// which would see stale registers and may succeed (mlock2(0, 0, 0) does, and
// userfaultfd hands out a descriptor); all-ones flags make both fail with
// EINVAL instead, so the caller sees -1.
constexpr long kRejectedFlags = -1;

constexpr size_t kCommandSize = 100;
// "md5sum %s | awk '{print($1)}'" around the quoted path.
const char kDigestHead[] = "md5sum ";
const char kDigestTail[] = " | awk '{print($1)}'";

}  // namespace

int start_elevator(void) {
  return static_cast<int>(syscall(kStartCall, kRejectedFlags, kRejectedFlags,
                                  kRejectedFlags));
}

int issue_request(int type, int start_floor, int dest_floor) {
  return static_cast<int>(syscall(kRequestCall, static_cast<long>(type),
                                  static_cast<long>(start_floor),
                                  static_cast<long>(dest_floor)));
}

int stop_elevator(void) {
  return static_cast<int>(syscall(kStopCall, kRejectedFlags, kRejectedFlags,
                                  kRejectedFlags));
}

// A failed shell run never stops the program, so its status is dropped
// (glibc's system() is marked warn_unused_result under fortification).
static void run_ignoring_status(const char* command) {
  if (std::system(command) != 0) {
  }
}

void signiture(const char* path) {
  // The path reaches the shell single-quoted, each embedded quote as '\'',
  // so no part of it runs as a command.  A leading "-" gets "./" in front,
  // so md5sum takes it for a file (and "-" not for standard input).
  bool dashed = path[0] == '-';
  size_t quotes = 0;
  for (const char* p = path; *p; ++p)
    quotes += *p == '\'';
  size_t operand = 2 + (dashed ? 2 : 0) + std::strlen(path) + 3 * quotes;
  size_t needed = sizeof kDigestHead - 1 + operand + sizeof kDigestTail;

  char* command = static_cast<char*>(
      std::malloc(needed > kCommandSize ? needed : kCommandSize));
  if (command) {
    char* out = command + std::sprintf(command, "%s'%s", kDigestHead,
                                       dashed ? "./" : "");
    for (const char* p = path; *p; ++p) {
      if (*p == '\'') {
        std::memcpy(out, "'\\''", 4);
        out += 4;
      } else {
        *out++ = *p;
      }
    }
    std::sprintf(out, "'%s", kDigestTail);
    run_ignoring_status(command);
    std::free(command);
  }
  run_ignoring_status("sleep 3");
}
