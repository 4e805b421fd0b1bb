// The verbs that follow the service until interrupted or unloaded:
// `status --watch` and `trace`.  Both write to standard output as they go.
#pragma once

#include <string>

namespace elevmod {

// How a follower ended.  Both end the same way: an interrupt or the end of
// the service they follow is their normal end.
enum class FollowEnd {
  interrupted,  // SIGINT, SIGTERM or SIGHUP
  ended,        // the service was unloaded
  failed,       // *err says why
};

// Shows the status every second until interrupted or the service ends.  On
// a terminal (and without `json`) it redraws in place on the alternate
// screen and restores the screen at the end; otherwise it writes plain
// frames, or with `json` one JSON object a line, without escapes.  A
// service that is not there at the start is a failure.
FollowEnd watch_status(const std::string& path, bool json, std::string* err);

// Writes the service's trace, a line an event, until interrupted or the
// service ends.
FollowEnd follow_trace(const std::string& path, bool json, std::string* err);

}  // namespace elevmod
