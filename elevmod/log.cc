#include "log.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace elevmod {

namespace {

std::atomic<bool> to_syslog{false};

}  // namespace

void log_to_syslog() {
  openlog("elevmod", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  to_syslog = true;
}

void warn(const char* format, ...) {
  // Built whole and written at once, so lines from several threads never
  // interleave.
  char line[512] = "elevmod: ";
  size_t prefix = std::strlen(line);
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
  va_end(args);
  if (to_syslog) {
    syslog(LOG_WARNING, "%s", line + prefix);
    return;
  }
  size_t length = std::strlen(line);
  line[length++] = '\n';
  if (write(STDERR_FILENO, line, length) < 0) {
    // Nowhere left to complain to.
  }
}

}  // namespace elevmod
