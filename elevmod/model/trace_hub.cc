#include "model/trace_hub.h"

#include <algorithm>

namespace elevmod {

TraceHub::TraceHub(size_t capacity) : capacity_(capacity) {}

void TraceHub::add(uint64_t id) { cursors_[id] = Cursor{head_, 0}; }

void TraceHub::remove(uint64_t id) {
  cursors_.erase(id);
  if (cursors_.empty()) {
    // Nobody follows: the memory goes until the next tracer.
    ring_.clear();
    ring_.shrink_to_fit();
    head_ = 0;
  }
}

std::vector<uint64_t> TraceHub::ids() const {
  std::vector<uint64_t> out;
  for (const auto& [id, cursor] : cursors_)
    out.push_back(id);
  return out;
}

void TraceHub::record(const TraceEvent& event) {
  if (cursors_.empty() || capacity_ == 0)
    return;
  if (ring_.size() < capacity_)
    ring_.push_back(event);
  else
    ring_[head_ % capacity_] = event;
  ++head_;
}

void TraceHub::catch_up(Cursor& cursor) const {
  uint64_t oldest = head_ > capacity_ ? head_ - capacity_ : 0;
  if (cursor.next < oldest) {
    cursor.lost += oldest - cursor.next;
    cursor.next = oldest;
  }
}

void TraceHub::peek(uint64_t id, size_t max, int64_t now_ns,
                    std::vector<TraceEvent>* out, uint64_t* first) const {
  out->clear();
  *first = head_;
  auto it = cursors_.find(id);
  if (it == cursors_.end() || max == 0)
    return;
  Cursor cursor = it->second;
  catch_up(cursor);
  *first = cursor.next;
  if (cursor.lost > 0) {
    TraceEvent lost;
    lost.kind = TraceEvent::Kind::lost;
    lost.time_ns = now_ns;
    lost.lost = cursor.lost;
    out->push_back(lost);
  }
  // The ring holds event s at s % capacity_ (before it wraps, head_ is its
  // size, so that is s itself).
  for (uint64_t s = cursor.next; s < head_ && out->size() < max; ++s)
    out->push_back(ring_[s % capacity_]);
}

void TraceHub::consume(uint64_t id, uint64_t end) {
  auto it = cursors_.find(id);
  if (it == cursors_.end())
    return;
  Cursor& cursor = it->second;
  // The lost count told covered everything before the first event sent.
  cursor.lost = 0;
  cursor.next = std::max(cursor.next, std::min(end, head_));
  catch_up(cursor);
}

uint64_t TraceHub::waiting(uint64_t id) const {
  auto it = cursors_.find(id);
  if (it == cursors_.end())
    return 0;
  Cursor cursor = it->second;
  catch_up(cursor);
  return head_ - cursor.next + (cursor.lost > 0 ? 1 : 0);
}

void TraceHub::give_up(uint64_t id) {
  auto it = cursors_.find(id);
  if (it == cursors_.end())
    return;
  Cursor& cursor = it->second;
  catch_up(cursor);
  cursor.lost += head_ - cursor.next;
  cursor.next = head_;
}

}  // namespace elevmod
