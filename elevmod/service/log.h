// The service's complaints: one line each, about a client or a listener
// that misbehaved, never about a caller's ordinary answer.
#pragma once

namespace elevmod {

// From now on, complaints go to the system logger on /dev/log (facility
// daemon, "elevmod[PID]", as syslog(3) would send them), which reaches the
// journal where there is one, instead of standard error.  For the
// background service, whose standard error is /dev/null.  A logger that
// falls behind never holds the service up: lines it has no room for are
// dropped, and the next line that gets through says how many.
void log_to_syslog();

// Writes "elevmod: MESSAGE" to standard error, or MESSAGE to the system
// logger at warning level.  Of one cause (one format), five lines in ten
// seconds are written; the rest are counted and the next one written says
// how many.  Safe from any thread.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace elevmod
