#include "service/shared_elevator.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "service/caller_names.h"
#include "service/clock.h"
#include "wire/errors.h"

namespace elevmod {

SharedElevator::SharedElevator(Config config, uint32_t step_ms,
                               uint32_t speed, size_t trace_backlog)
    : step_ms_(step_ms),
      clock_(speed),
      elevator_(config),
      hub_(trace_backlog) {}

bool SharedElevator::set_up(std::string* err) {
  timer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!timer_)
    *err = "timerfd_create: " + errno_text(errno);
  return static_cast<bool>(timer_);
}

void SharedElevator::answer_call(int listener, Notifier& notifier,
                                 const Notification& note) {
  if (!note.ours) {
    notifier.respond(listener, note.id, 0, ENOSYS);
    return;
  }
  bool tracing = tracing_.load(std::memory_order_relaxed);
  TraceEvent event;
  if (tracing) {
    event.pid = static_cast<int32_t>(note.pid);
    event.call = note.call;
    name_caller(note.pid, event.comm);
  }
  // The answer, its delivery and the commit happen under one lock, so two
  // calls never both get an answer that only one of them can have.
  std::lock_guard lock(mutex_);
  elevator_.note_arrival(note.call.nr);
  int result = elevator_.answer(note.call);
  // Commit only what the caller was told; a lost answer (ENOENT: the
  // caller died or was interrupted and may ask again) changes nothing.
  bool delivered = notifier.respond(listener, note.id, result, 0) == 0;
  if (delivered) {
    car_events_.clear();
    elevator_.commit(note.call, tracing ? &car_events_ : nullptr);
    sync_timer();
  }
  if (tracing) {
    event.time_ns = clock_.now_ns();
    event.result = result;
    event.delivered = delivered;
    hub_.record(event);
    if (delivered)
      record_car(car_events_);
  }
}

void SharedElevator::tick() {
  uint64_t expirations = 0;
  if (read(timer_.get(), &expirations, sizeof expirations) !=
      sizeof expirations)
    return;
  // A loop held up for a while catches up, but not without bound.
  if (expirations > 1000)
    expirations = 1000;
  std::lock_guard lock(mutex_);
  bool tracing = hub_.count() > 0;
  car_events_.clear();
  for (uint64_t i = 0; i < expirations && elevator_.running(); ++i)
    elevator_.step(tracing ? &car_events_ : nullptr);
  sync_timer();
  record_car(car_events_);
}

void SharedElevator::sync_timer() {
  bool want = elevator_.running();
  if (want == timer_armed_ || !timer_)
    return;
  itimerspec setting{};
  if (want) {
    // A step of the scenario's clock, on the wall clock; 1 µs at least.
    int64_t step_ns = std::max<int64_t>(
        1000, int64_t{step_ms_} * 1000000 / clock_.speed());
    timespec step{static_cast<time_t>(step_ns / 1000000000),
                  static_cast<long>(step_ns % 1000000000)};
    setting.it_value = step;
    setting.it_interval = step;
  }
  // Should it fail, timer_armed_ stays as it was and the next call tries
  // again.
  if (timerfd_settime(timer_.get(), 0, &setting, nullptr) == 0)
    timer_armed_ = want;
}

Snapshot SharedElevator::snapshot() {
  std::lock_guard lock(mutex_);
  Snapshot s = elevator_.snapshot();
  s.step_ms = step_ms_;
  return s;
}

void SharedElevator::record_car(const std::vector<CarEvent>& events) {
  if (events.empty() || hub_.count() == 0)
    return;
  TraceEvent event;
  event.kind = TraceEvent::Kind::car;
  event.time_ns = clock_.now_ns();
  for (const CarEvent& car : events) {
    event.car = car;
    hub_.record(event);
  }
}

void SharedElevator::add_tracer(uint64_t id) {
  std::lock_guard lock(mutex_);
  hub_.add(id);
  tracing_ = true;
}

void SharedElevator::remove_tracer(uint64_t id) {
  std::lock_guard lock(mutex_);
  hub_.remove(id);
  tracing_ = hub_.count() > 0;
}

void SharedElevator::peek_trace(uint64_t id, size_t max,
                                std::vector<TraceEvent>* out,
                                uint64_t* first) {
  std::lock_guard lock(mutex_);
  hub_.peek(id, max, clock_.now_ns(), out, first);
}

void SharedElevator::consume_trace(uint64_t id, uint64_t end) {
  std::lock_guard lock(mutex_);
  hub_.consume(id, end);
}

uint64_t SharedElevator::trace_waiting(uint64_t id) {
  std::lock_guard lock(mutex_);
  return hub_.waiting(id);
}

uint64_t SharedElevator::trace_waiting(const std::vector<uint64_t>& ids) {
  std::lock_guard lock(mutex_);
  uint64_t count = 0;
  for (uint64_t id : ids)
    count += hub_.waiting(id);
  return count;
}

void SharedElevator::give_up_trace(uint64_t id) {
  std::lock_guard lock(mutex_);
  hub_.give_up(id);
}

}  // namespace elevmod
