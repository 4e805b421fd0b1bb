// The service's complaints: one line each, about a client or a listener
// that misbehaved, never about a caller's ordinary answer.
#pragma once

namespace elevmod {

// From now on, complaints go to syslog(3) (facility daemon, ident
// "elevmod"), which reaches the journal where there is one, instead of
// standard error.  For the background service, whose standard error is
// /dev/null.
void log_to_syslog();

// Writes "elevmod: MESSAGE" to standard error, or MESSAGE to syslog at
// warning level.  Safe from any thread.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace elevmod
