// The service's complaints: one line each, about a client or a listener
// that misbehaved, never about a caller's ordinary answer.
#pragma once

#include <string>

namespace elevmod {

// From now on, complaints go to the system logger on /dev/log (facility
// daemon, "elevmod[PID]", as syslog(3) would send them), which reaches the
// journal where there is one, instead of standard error.  For the
// background service, whose standard error is /dev/null.  A logger that
// falls behind never holds the service up: lines it has no room for are
// dropped, and the next line that gets through says how many.
void log_to_syslog();

// Where there is no system logger, complaints are appended to `fallback`
// instead (kept below 64 KiB: the older half moves to `fallback`.old), so
// that the recent ones are there to be read.
void set_log_fallback(const std::string& fallback);

// Writes "elevmod: MESSAGE" to standard error, or MESSAGE to the system
// logger at warning level.  Of one cause (one format), five lines in ten
// seconds are written; the rest are counted, and report_suppressed() says
// how many.  Safe from any thread.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For each cause whose ten seconds are over (with `all`, every cause), says
// how many of its lines were not written, with the last of them: "N more
// like this were not written: LAST".  The service calls it at least once a
// second, and with `all` as it ends.
void report_suppressed(bool all);

}  // namespace elevmod
