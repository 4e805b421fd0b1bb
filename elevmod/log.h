// The service's complaints: one line each, about a client or a listener
// that misbehaved, never about a caller's ordinary answer.
#pragma once

namespace elevmod {

// Writes "elevmod: MESSAGE" to standard error.  Safe from any thread.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace elevmod
