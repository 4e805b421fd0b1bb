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
#include "service/clock.h"
#include "wire/notify.h"
#include "wire/unique_fd.h"

namespace elevmod {

class SharedElevator {
 public:
  // The car moves a floor every `step_ms` of the scenario's clock, which
  // runs `speed` times as fast as the wall clock; at most `trace_backlog`
  // events wait for the slowest tracer.
  SharedElevator(Config config, uint32_t step_ms, uint32_t speed,
                 size_t trace_backlog);

  // Makes the car's timer; false with *err set on failure.  Watch timer_fd()
  // and call tick() when it is readable.
  bool set_up(std::string* err);
  int timer_fd() const { return timer_.get(); }

  // Answers one call received on `listener`, on that listener's thread.
  void answer_call(int listener, Notifier& notifier, const Notification& note);

  // The timer fired: the car takes its steps.
  void tick();

  Snapshot snapshot();

  // The time on the scenario's clock.
  int64_t now_ns() const { return clock_.now_ns(); }

  // The trace's ring, for the tracers (trace_hub.h says what each does),
  // each under the model's lock.  A tracer, known by `id`, follows from the
  // next event on; calls skip the trace's work while nobody traces.
  void add_tracer(uint64_t id);
  void remove_tracer(uint64_t id);
  void peek_trace(uint64_t id, size_t max, std::vector<TraceEvent>* out,
                  uint64_t* first);
  void consume_trace(uint64_t id, uint64_t end);
  uint64_t trace_waiting(uint64_t id);
  // Of all of `ids`.
  uint64_t trace_waiting(const std::vector<uint64_t>& ids);
  void give_up_trace(uint64_t id);

 private:
  void sync_timer();                                     // mutex_ held
  void record_car(const std::vector<CarEvent>& events);  // mutex_ held

  uint32_t step_ms_;
  ScenarioClock clock_;
  UniqueFd timer_;
  std::mutex mutex_;  // guards everything below
  Elevator elevator_;
  bool timer_armed_ = false;
  TraceHub hub_;
  std::atomic<bool> tracing_{false};
  std::vector<CarEvent> car_events_;  // scratch
};

}  // namespace elevmod
