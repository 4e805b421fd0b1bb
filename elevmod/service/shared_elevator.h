// The elevator as the service shares it: calls arrive on the listener
// threads, while the loop steps the car on its timer, takes snapshots and
// sends the trace's ring to the tracers.  One lock guards the model, the
// ring and the timer's setting.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "model/elevator.h"
#include "model/trace_hub.h"
#include "wire/notify.h"
#include "wire/unique_fd.h"

namespace elevmod {

class SharedElevator {
 public:
  // The car moves a floor every `step_ms`; at most `trace_backlog` events
  // wait for the slowest tracer.
  SharedElevator(Config config, uint32_t step_ms, size_t trace_backlog);

  // Makes the car's timer; false with *err set on failure.  Watch timer_fd()
  // and call tick() when it is readable.
  bool set_up(std::string* err);
  int timer_fd() const { return timer_.get(); }

  // Answers one call received on `listener`, on that listener's thread.
  void answer_call(int listener, Notifier& notifier, const Notification& note);

  // The timer fired: the car takes its steps.
  void tick();

  Snapshot snapshot();

  // For the tracers: the lock, the ring it guards, and whether anyone traces
  // (set under the lock, read without it by calls that skip the trace's
  // work while nobody traces).
  std::mutex& mutex() { return mutex_; }
  TraceHub& hub() { return hub_; }
  std::atomic<bool>& tracing() { return tracing_; }

 private:
  void sync_timer();                                     // mutex_ held
  void record_car(const std::vector<CarEvent>& events);  // mutex_ held

  uint32_t step_ms_;
  UniqueFd timer_;
  std::mutex mutex_;  // guards everything below
  Elevator elevator_;
  bool timer_armed_ = false;
  TraceHub hub_;
  std::atomic<bool> tracing_{false};
  std::vector<CarEvent> car_events_;  // scratch
};

}  // namespace elevmod
