// The two clocks the service reads: a monotonic one for deadlines, the
// wall clock for the time of traced events.
#pragma once

#include <time.h>

#include <cstdint>

namespace elevmod {

inline int64_t monotonic_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

inline int64_t wall_ns() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

}  // namespace elevmod
