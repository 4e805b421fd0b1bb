// Waiting within a deadline on the monotonic clock, with the caller's
// signal mask: what every wait of a client is, so that an interrupt it
// lets through ends the wait at once.
#pragma once

#include <signal.h>

#include <cstdint>
#include <limits>

namespace elevmod {

// Milliseconds on the monotonic clock.
int64_t monotonic_ms();

// No deadline.
constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

// Waits until `fd` is ready for `events` (with fd < 0, until `until_ms`),
// with the signal mask `mask` when it is given.  Returns 0 when ready,
// ETIMEDOUT once `until_ms` has passed, EINTR when a signal that `mask`
// lets through ended the wait (without a mask, a signal's handler only
// interrupts, and the wait goes on).
int wait_ready(int fd, short events, int64_t until_ms, const sigset_t* mask);

}  // namespace elevmod
