// Starting a process that lives apart from the one that starts it: the
// background service, and the helper that answers for `run --reply`.
#pragma once

#include <functional>

namespace elevmod {

// Runs `body` in a new process apart from the caller, which ends with
// body's result: a grandchild, so that no process of the caller's ever has
// it as a child; in a process group of its own, so that a terminal's Ctrl-C
// and hang-up don't reach it (not a session of its own: setsid() would also
// put it in a scheduler autogroup apart from its callers, and every call's
// cross-group wake-up then costs about a third more); in "/"; with the
// standard descriptors on /dev/null.  Returns once it is started, true, or
// false with errno set.
bool detach(const std::function<int()>& body);

}  // namespace elevmod
