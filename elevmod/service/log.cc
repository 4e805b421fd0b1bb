#include "service/log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "service/clock.h"
#include "wire/errors.h"
#include "wire/unique_fd.h"

namespace elevmod {

namespace {

// Complaints of one cause (one format) beyond this many in an interval are
// counted instead of written; the next one written says how many.
constexpr int kBurst = 5;
constexpr int64_t kIntervalMs = 10000;
// Facility daemon, level warning, as syslog(3) would put it.
constexpr int LOG_DAEMON_WARNING = (3 << 3) | 4;

struct Cause {
  int64_t since_ms = 0;
  int written = 0;
  uint64_t suppressed = 0;
  std::string last;  // the last line not written
};

// Where complaints go when there is no system logger, and its bound.
constexpr off_t kFallbackBytes = 64 * 1024;

struct Logger {
  std::mutex mutex;  // guards everything below
  bool to_syslog = false;
  UniqueFd socket;  // to the system logger, non-blocking
  uint64_t dropped = 0;  // lines the logger had no room for
  std::string fallback;  // the file for lines when there is no logger
  bool told_rotation = false;  // that it could not be moved aside
  bool told_foreign = false;   // that it is another user's
  std::unordered_map<const char*, Cause> causes;
};

Logger& logger() {
  static Logger* instance = new Logger;  // used until the process ends
  return *instance;
}

void connect_logger(Logger& log) {
  log.socket.reset(
      socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  if (log.socket &&
      connect(log.socket.get(), reinterpret_cast<sockaddr*>(&addr),
              sizeof addr) != 0)
    log.socket.reset();
}

// The local time now, as `format` (strftime's) has it.
std::string local_time(const char* format) {
  char stamp[32];
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return strftime(stamp, sizeof stamp, format, &local) > 0 ? stamp : "";
}

// One datagram in syslog's format, never waiting for the logger: a slow or
// stopped one makes us drop lines, not stall the service.  False when the
// line was dropped.
bool send_to_logger(Logger& log, const char* message) {
  char line[700];
  int n = std::snprintf(line, sizeof line, "<%d>%s elevmod[%d]: %s",
                        LOG_DAEMON_WARNING,
                        local_time("%b %e %H:%M:%S").c_str(), getpid(),
                        message);
  size_t length = std::min(static_cast<size_t>(n < 0 ? 0 : n),
                           sizeof line - 1);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!log.socket)
      connect_logger(log);
    if (!log.socket)
      break;
    if (send(log.socket.get(), line, length, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
      return true;
    if (errno == EAGAIN || errno == ENOBUFS)
      break;
    log.socket.reset();  // the logger restarted: connect again, once
  }
  return false;
}

// One line of the fallback file, stamped.
bool append_line(int fd, const char* message) {
  char line[700];
  int n = std::snprintf(line, sizeof line, "%s elevmod[%d]: %s\n",
                        local_time("%Y-%m-%d %H:%M:%S").c_str(), getpid(),
                        message);
  size_t length = std::min(static_cast<size_t>(n < 0 ? 0 : n),
                           sizeof line - 1);
  return write(fd, line, length) == static_cast<ssize_t>(length);
}

// The fallback file, if it is one this service may write to: a regular
// file of this user's with no other name, created (0600) when there is
// none.  A file another user planted there (in a directory others may
// write) is never written to; *foreign is set then.
UniqueFd open_fallback(const std::string& path, bool* foreign) {
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  UniqueFd fd(open(path.c_str(), flags));
  if (!fd && errno == ENOENT)
    fd.reset(open(path.c_str(), flags | O_CREAT | O_EXCL, 0600));
  if (!fd) {
    *foreign = errno == ELOOP || errno == ENXIO || errno == EACCES;
    return fd;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_uid != geteuid() || st.st_nlink != 1) {
    *foreign = true;
    fd.reset();
  }
  return fd;
}

// Appends the line to the fallback file, whose older half moves aside once
// it passes its bound.  Where it cannot be moved aside (another user's file
// holds the name in a directory others may write), the file starts afresh
// instead, so the bound holds either way; that is said once, in the file.
// False when there is no such file to be had.
bool append_to_fallback(Logger& log, const char* message) {
  if (log.fallback.empty())
    return false;
  bool foreign = false;
  UniqueFd fd = open_fallback(log.fallback, &foreign);
  struct stat st;
  if (fd && fstat(fd.get(), &st) == 0 && st.st_size > kFallbackBytes / 2) {
    std::string aside = log.fallback + ".old";
    int moved = rename(log.fallback.c_str(), aside.c_str()) == 0 ? 0 : errno;
    if (moved == 0) {
      fd = open_fallback(log.fallback, &foreign);
    } else if (ftruncate(fd.get(), 0) == 0 && !log.told_rotation) {
      log.told_rotation = true;
      std::string note = "cannot move " + log.fallback + " aside to " +
                         aside + " (" + errno_text(moved) +
                         "): it starts afresh instead";
      append_line(fd.get(), note.c_str());
    }
  }
  if (!fd) {
    if (foreign && !log.told_foreign) {
      log.told_foreign = true;
      std::string note = "elevmod: not writing complaints to " +
                         log.fallback + ": it is not a file of this user's\n";
      if (write(STDERR_FILENO, note.data(), note.size()) < 0) {
        // Nowhere left to say it.
      }
    }
    return false;
  }
  return append_line(fd.get(), message);
}

void write_line(Logger& log, const char* message) {
  if (log.to_syslog) {
    if (!log.socket)
      connect_logger(log);
    if (!log.socket && append_to_fallback(log, message))
      return;
    if (log.dropped > 0) {
      char note[96];
      std::snprintf(note, sizeof note,
                    "dropped %llu lines: the system logger was slow",
                    static_cast<unsigned long long>(log.dropped));
      if (send_to_logger(log, note))
        log.dropped = 0;
    }
    if (!send_to_logger(log, message))
      ++log.dropped;
    return;
  }
  char line[700];
  int n = std::snprintf(line, sizeof line, "elevmod: %s\n", message);
  size_t length = std::min(static_cast<size_t>(n < 0 ? 0 : n),
                           sizeof line - 1);
  if (write(STDERR_FILENO, line, length) < 0) {
    // Nowhere left to complain to.
  }
}

// The note on a cause's suppressed lines, and a new interval for it.
void report(Logger& log, Cause& cause, int64_t now) {
  if (cause.suppressed > 0) {
    char note[700];
    std::snprintf(note, sizeof note, "%llu more like this were not written: %s",
                  static_cast<unsigned long long>(cause.suppressed),
                  cause.last.c_str());
    cause.suppressed = 0;
    write_line(log, note);
  }
  cause.since_ms = now;
  cause.written = 0;
}

}  // namespace

void log_to_syslog() {
  Logger& log = logger();
  std::lock_guard lock(log.mutex);
  log.to_syslog = true;
  connect_logger(log);
}

void set_log_fallback(const std::string& fallback) {
  Logger& log = logger();
  std::lock_guard lock(log.mutex);
  log.fallback = fallback;
}

void warn(const char* format, ...) {
  char message[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  // Under one lock, so lines from several threads never interleave.
  Logger& log = logger();
  std::lock_guard lock(log.mutex);
  Cause& cause = log.causes[format];
  int64_t now = monotonic_ms();
  if (now - cause.since_ms >= kIntervalMs)
    report(log, cause, now);
  if (cause.written >= kBurst) {
    ++cause.suppressed;
    cause.last = message;
    return;
  }
  ++cause.written;
  write_line(log, message);
}

void report_suppressed(bool all) {
  Logger& log = logger();
  std::lock_guard lock(log.mutex);
  int64_t now = monotonic_ms();
  for (auto& [format, cause] : log.causes)
    if (cause.suppressed > 0 && (all || now - cause.since_ms >= kIntervalMs))
      report(log, cause, now);
}

}  // namespace elevmod
