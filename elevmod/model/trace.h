// What `elevmod trace` shows: each call as the service answered it, what the
// car did, and how many events a tracer that fell behind lost.
#pragma once

#include <cstdint>
#include <string>

#include "model/elevator.h"

namespace elevmod {

// One traced event.  Fixed layout: it crosses the socket.
struct TraceEvent {
  // `ended`, the last message a tracer gets when the service ends its trace
  // to make room for another (after a `lost` with what it missed).
  enum class Kind : uint32_t { call = 1, car = 2, lost = 3, ended = 4 };
  Kind kind = Kind::call;
  uint32_t delivered = 0;  // call: 1 once the answer reached the caller
  int64_t time_ns = 0;     // wall clock, nanoseconds since the epoch
  int32_t pid = 0;         // call: the caller, in the service's namespace
  int32_t result = 0;      // call: the answer
  Call call;               // call: number and arguments
  char comm[16] = {};      // call: the caller's command name, terminated
  CarEvent car{};          // car
  uint64_t lost = 0;       // lost: how many events this tracer missed
};

// One line, without escapes: "HH:MM:SS.uuuuuu pid 42 (producer) request(1,
// 5, 1) = 0", "... car arrives at floor 3 going up", "... lost 12 events".
std::string render_trace_text(const TraceEvent& event);

// One JSON object on one line, ending in a newline.
std::string render_trace_json(const TraceEvent& event);

}  // namespace elevmod
