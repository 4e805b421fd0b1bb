// The service's wire format: a client sends one Request (an attach carries
// the listener fd alongside) and reads one Reply; a tracer then reads
// messages of whole TraceEvents until the service ends.  Fixed layouts
// checked at compile time: a change fails to build until kMagic changes.
// None has padding, so every byte sent is a field's, set by its
// initialiser: nothing of the process's memory leaves with a message.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "model/elevator.h"
#include "model/trace.h"

namespace elevmod {

constexpr uint32_t kMagic = 0x454c4d33;  // "ELM3"; bump on any layout change

enum class Verb : uint32_t { attach = 1, status = 2, unload = 3, trace = 4 };

struct Request {
  uint32_t magic = kMagic;
  Verb verb = Verb::status;
};

struct Reply {
  uint32_t magic = kMagic;
  int32_t error = 0;  // 0, or the errno saying why the request was refused
  Snapshot snapshot;
};

template <typename T>
constexpr bool kWireSafe = std::is_trivially_copyable_v<T> &&
                           std::has_unique_object_representations_v<T>;
static_assert(kWireSafe<Request> && kWireSafe<Reply> &&
              kWireSafe<Snapshot> && kWireSafe<TraceEvent>);
static_assert(sizeof(Request) == 8 && offsetof(Request, verb) == 4);
static_assert(sizeof(Reply) == 192 && offsetof(Reply, error) == 4 &&
              offsetof(Reply, snapshot) == 8);
static_assert(sizeof(Snapshot) == 184 && offsetof(Snapshot, floor) == 4 &&
              offsetof(Snapshot, aboard) == 16 &&
              offsetof(Snapshot, step_ms) == 20 &&
              offsetof(Snapshot, max_waiting) == 24 &&
              offsetof(Snapshot, waiting_by_floor) == 40 &&
              offsetof(Snapshot, counts) == 120 &&
              offsetof(Snapshot, listeners) == 176 &&
              offsetof(Snapshot, tracers) == 180);
static_assert(sizeof(Counters) == 56);
static_assert(sizeof(TraceEvent) == 80 && offsetof(TraceEvent, time_ns) == 8 &&
              offsetof(TraceEvent, pid) == 16 &&
              offsetof(TraceEvent, call) == 24 &&
              offsetof(TraceEvent, comm) == 40 &&
              offsetof(TraceEvent, car) == 56 &&
              offsetof(TraceEvent, lost) == 72);

// Who may use a service, and whose service a client may use: this
// process's user, or root.
inline bool uid_is_trusted(uid_t uid) { return uid == geteuid() || uid == 0; }

}  // namespace elevmod
