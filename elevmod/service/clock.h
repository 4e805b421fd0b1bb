// The clocks the service reads: a monotonic one for deadlines, and the
// scenario's (the wall clock, sped up as its clients' is) for the time of
// traced events.
#pragma once

#include <time.h>

#include <cstdint>

#include "wire/deadline.h"  // monotonic_ms()

namespace elevmod {

inline int64_t wall_ns() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The wall clock as clients that run `speed` times as fast see it (under
// faketime -f '+0 xSPEED'): from its start on, it runs that much faster.
class ScenarioClock {
 public:
  explicit ScenarioClock(uint32_t speed) : origin_ns_(wall_ns()), speed_(speed) {}
  int64_t now_ns() const {
    return origin_ns_ + (wall_ns() - origin_ns_) * speed_;
  }
  int64_t speed() const { return speed_; }

 private:
  int64_t origin_ns_;
  int64_t speed_;
};

}  // namespace elevmod
