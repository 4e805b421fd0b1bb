// The events that tracers follow, in one ring that every tracer reads at its
// own pace.  A call costs one copy into the ring however many trace, and the
// memory is one ring however many stop reading: a tracer that the ring
// overtakes loses what it missed, and is told how many.  Not thread-safe:
// the service calls it under its model lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "model/trace.h"

namespace elevmod {

class TraceHub {
 public:
  // At most `capacity` events wait for the slowest tracer.
  explicit TraceHub(size_t capacity);

  // A tracer, known by `id`, follows from the next event on.
  void add(uint64_t id);
  void remove(uint64_t id);
  bool has(uint64_t id) const { return cursors_.count(id) != 0; }
  size_t count() const { return cursors_.size(); }
  std::vector<uint64_t> ids() const;

  void record(const TraceEvent& event);

  // Copies into *out (emptied first) up to `max` events that wait for
  // tracer `id`: first a lost event (timed `now_ns`) if the ring overtook
  // it, then events from the ring, the first of them numbered *first.
  // Nothing is taken until consume().
  void peek(uint64_t id, size_t max, int64_t now_ns,
            std::vector<TraceEvent>* out, uint64_t* first) const;
  // Takes what one peek() gave, its lost event included, up to the ring
  // event numbered `end` (first + the ring events sent).  Exact even when
  // the ring moved on in between: what it overtook since counts as lost.
  void consume(uint64_t id, uint64_t end);

  // Events waiting for tracer `id`, a lost count counting as one.
  uint64_t waiting(uint64_t id) const;

  // Counts everything still waiting for `id` as lost, so that the next
  // peek() gives one lost event with the whole count.
  void give_up(uint64_t id);

 private:
  struct Cursor {
    uint64_t next = 0;  // sequence number of the next event to send
    uint64_t lost = 0;  // missed and not yet told
  };
  // Moves a cursor that the ring overtook to the oldest event kept.
  void catch_up(Cursor& cursor) const;

  size_t capacity_;
  std::vector<TraceEvent> ring_;  // grows to capacity_, then wraps
  uint64_t head_ = 0;             // sequence number of the next event
  std::unordered_map<uint64_t, Cursor> cursors_;
};

}  // namespace elevmod
