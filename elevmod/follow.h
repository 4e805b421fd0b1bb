// The verbs that follow the service until interrupted: `status --watch` and
// `trace`.  Both write to standard output as they go.
#pragma once

#include <string>

namespace elevmod {

// Shows the status every second until SIGINT, SIGTERM or SIGHUP.  On a
// terminal (and without `json`) it redraws in place on the alternate screen
// and restores the screen at the end; otherwise it writes plain frames, or
// with `json` one JSON object a line, without escapes.  Returns true when
// interrupted, false with *err set when the service failed to answer.
bool watch_status(const std::string& path, bool json, std::string* err);

// Writes the service's trace, a line an event, until the service ends
// (true) or the connection fails (false, *err set).
bool follow_trace(const std::string& path, bool json, std::string* err);

}  // namespace elevmod
