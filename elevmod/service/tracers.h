// The connections that follow the trace, and sending each what waits for it
// in the ring (trace_hub.h).  The service's loop owns this; the ring is the
// shared elevator's, which guards it (shared_elevator.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "model/trace.h"
#include "service/event_loop.h"
#include "service/shared_elevator.h"
#include "wire/releaser.h"
#include "wire/unique_fd.h"

namespace elevmod {

class Tracers {
 public:
  // Tracers follow `elevator`'s ring; their connections are watched on
  // `loop` and closed by `releaser`.
  Tracers(SharedElevator& elevator, EventLoop& loop, Releaser& releaser);

  // Makes the timer that sends the tracers what waits; false on failure.
  // Watch flush_fd() and call flush() when it is readable.
  bool set_up();
  int flush_fd() const { return flush_.get(); }

  size_t count() const { return tracers_.size(); }
  bool has(uint64_t id) const { return tracers_.count(id) != 0; }

  // Takes connection `fd`, already watched on the loop with tag `id`, as a
  // tracer from the next event on.
  void add(uint64_t id, UniqueFd fd);

  // Makes room for one more by ending the tracer that has read nothing of
  // what it was sent for longest, if that is `stale_ms` or more at `now_ms`
  // (one that reads, however slowly, is never ended); it is sent the count
  // of what it lost first.  False when none has.
  bool evict_stalest(int64_t now_ms, int64_t stale_ms);

  // An epoll event for tracer `id`: room to send more, or (anything it
  // says, its hang-up) its end.
  void on_event(uint64_t id, uint32_t events);

  // Sends each tracer what waits for it, as far as it has room.
  void flush();

  // At unload: gives each tracer what is left and the count of what it
  // lost, within bounds, then ends them all.
  void finish();

 private:
  struct Tracer {
    UniqueFd fd;
    size_t room = 0;      // the connection's send buffer
    bool behind = false;  // watched for room (EPOLLOUT) to send the rest
    // When it was last seen to read (its queue shrank, or was empty).
    int64_t progress_ms = 0;
    size_t queued = 0;  // bytes in its queue when last looked at or sent
  };

  // Sends what waits; once `final`, the count of what it lost may use the
  // room kept for it.  False when the connection broke.
  bool send_to(uint64_t id, Tracer& tracer, bool final);
  // Watches the tracer for room while events wait for it, and only then.
  void watch(uint64_t id, Tracer& tracer);
  void drop(uint64_t id);
  uint64_t events_waiting();
  // Waits up to timeout_ms for room at a tracer that is behind; false when
  // none is behind or the time is up.
  bool poll_behind(int64_t timeout_ms);

  SharedElevator& elevator_;  // its trace ring, under its lock
  EventLoop& loop_;
  Releaser& releaser_;
  UniqueFd flush_;  // a timer that sends the tracers what waits
  std::map<uint64_t, Tracer> tracers_;
  std::vector<TraceEvent> batch_;  // scratch for sending
  // At unload, once what is left is counted as lost: the count may use the
  // room kept for it.
  bool final_ = false;
};

}  // namespace elevmod
