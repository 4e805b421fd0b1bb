// The service's wire format: a client sends one Request (an attach carries
// the listener fd alongside) and reads one Reply; a tracer then reads
// messages of whole TraceEvents until the service ends.  Fixed layouts
// checked at compile time: a change fails to build until kMagic changes.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "model/elevator.h"
#include "model/trace.h"

namespace elevmod {

constexpr uint32_t kMagic = 0x454c4d31;  // "ELM1"; bump on any layout change

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

static_assert(std::is_trivially_copyable_v<Request> &&
              std::is_trivially_copyable_v<Reply> &&
              std::is_trivially_copyable_v<TraceEvent>);
static_assert(sizeof(Request) == 8 && offsetof(Request, verb) == 4);
static_assert(offsetof(Reply, error) == 4 && offsetof(Reply, snapshot) == 8);
static_assert(sizeof(Reply) == 8 + sizeof(Snapshot));
static_assert(offsetof(TraceEvent, time_ns) == 8 &&
              offsetof(TraceEvent, call) == 24);

// Who may use a service, and whose service a client may use: this
// process's user, or root.
inline bool uid_is_trusted(uid_t uid) { return uid == geteuid() || uid == 0; }

}  // namespace elevmod
