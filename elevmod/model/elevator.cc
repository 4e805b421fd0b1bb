#include "model/elevator.h"

#include <algorithm>

namespace elevmod {

namespace {

bool valid_floor(int32_t floor) { return floor >= 1 && floor <= kFloors; }

// Index of the queue a passenger going from one floor to another waits in.
int queue_of(int from, int to) { return to > from ? 0 : 1; }

int queue_direction(int queue) { return queue == 0 ? +1 : -1; }

}  // namespace

const char* direction_name(int direction) {
  return direction > 0 ? "up" : direction < 0 ? "down" : "none";
}

const char* state_name(State state) {
  switch (state) {
    case State::offline: return "offline";
    case State::idle: return "idle";
    case State::loading: return "loading";
    case State::up: return "up";
    case State::down: return "down";
    case State::stopping: return "stopping";
  }
  return "unknown";
}

Elevator::Elevator(Config config) : config_(config) {}

void Elevator::note_arrival(int nr) {
  switch (nr) {
    case kNrStart: ++counts_.start_calls; break;
    case kNrRequest: ++counts_.request_calls; break;
    case kNrStop: ++counts_.stop_calls; break;
    default: break;
  }
}

int Elevator::answer(const Call& call) const {
  switch (call.nr) {
    case kNrStart:
      return state_ == State::offline ? 0 : 1;
    case kNrRequest: {
      auto [type, from, to] = call.args;
      bool valid = type >= 0 && type <= 2 && valid_floor(from) &&
                   valid_floor(to) && from != to;
      return valid && waiting_count_ < config_.max_waiting ? 0 : 1;
    }
    case kNrStop:
      return state_ != State::offline && !stopping_ ? 0 : 1;
    default:
      return -1;
  }
}

void Elevator::commit(const Call& call, std::vector<CarEvent>* events) {
  int result = answer(call);
  if (call.nr == kNrRequest) {
    if (result != 0) {
      ++counts_.refused;
      return;
    }
    auto [type, from, to] = call.args;
    waiting_[from - 1][queue_of(from, to)].push_back(
        {static_cast<uint8_t>(type), static_cast<uint8_t>(to), steps_});
    ++waiting_count_;
    ++counts_.accepted;
    return;
  }
  if (result != 0)
    return;
  if (call.nr == kNrStart) {
    state_ = State::idle;
    direction_ = 0;
  } else if (call.nr == kNrStop) {
    if (aboard_.empty()) {
      state_ = State::offline;
      direction_ = 0;
      if (events)
        events->push_back({CarEvent::offline, floor_, 0, 0});
    } else {
      stopping_ = true;
      state_ = State::stopping;
    }
  }
}

bool Elevator::wants_floor(int floor) const {
  if (std::any_of(aboard_.begin(), aboard_.end(),
                  [floor](const Passenger& p) { return p.dest == floor; }))
    return true;
  if (stopping_)
    return false;
  const auto& queues = waiting_[floor - 1];
  return !queues[0].empty() || !queues[1].empty();
}

bool Elevator::target_beyond(int direction) const {
  for (int f = floor_ + direction; valid_floor(f); f += direction)
    if (wants_floor(f))
      return true;
  return false;
}

int Elevator::unload() {
  auto here = [this](const Passenger& p) { return p.dest == floor_; };
  auto gone = std::remove_if(aboard_.begin(), aboard_.end(), here);
  int count = static_cast<int>(aboard_.end() - gone);
  aboard_.erase(gone, aboard_.end());
  counts_.delivered += count;
  return count;
}

int Elevator::board(int direction) {
  if (direction == 0)
    return 0;
  auto& queue = waiting_[floor_ - 1][direction > 0 ? 0 : 1];
  int boarded = 0;
  while (!queue.empty() && aboard_.size() < config_.capacity) {
    uint32_t waited = steps_ - queue.front().since;
    counts_.longest_wait_steps =
        std::max<uint64_t>(counts_.longest_wait_steps, waited);
    aboard_.push_back(queue.front());
    queue.pop_front();
    --waiting_count_;
    ++boarded;
  }
  return boarded;
}

void Elevator::turn(int direction, std::vector<CarEvent>* events) {
  if (direction == direction_)
    return;
  direction_ = direction;
  if (events && direction != 0)
    events->push_back({CarEvent::turn, floor_, 0, direction});
}

void Elevator::step(std::vector<CarEvent>* events) {
  if (state_ == State::offline)
    return;
  ++steps_;

  int left = unload();
  if (events && left > 0)
    events->push_back({CarEvent::leave, floor_, left, 0});
  bool served = left > 0;
  if (!stopping_) {
    // Keep going the way the car goes while anything lies ahead; at the end
    // of a sweep, or from rest, turn to whoever waits here.
    const auto& queues = waiting_[floor_ - 1];
    if (direction_ == 0 || !target_beyond(direction_)) {
      for (int q = 0; q < 2; ++q) {
        int d = queue_direction(q);
        if (!queues[q].empty() && (direction_ == 0 || d != direction_ ||
                                   queues[1 - q].empty())) {
          turn(d, events);
          break;
        }
      }
    }
    int boarded = board(direction_);
    if (events && boarded > 0)
      events->push_back({CarEvent::board, floor_, boarded, 0});
    served = boarded > 0 || served;
  }
  if (served) {
    state_ = stopping_ ? State::stopping : State::loading;
    return;
  }

  if (stopping_ && aboard_.empty()) {
    stopping_ = false;
    state_ = State::offline;
    direction_ = 0;
    if (events)
      events->push_back({CarEvent::offline, floor_, 0, 0});
    return;
  }
  if (direction_ == 0 || !target_beyond(direction_)) {
    if (target_beyond(+1))
      turn(+1, events);
    else if (target_beyond(-1))
      turn(-1, events);
    else
      turn(0, events);
  }
  if (direction_ == 0) {
    state_ = stopping_ ? State::stopping : State::idle;
    return;
  }
  floor_ += direction_;
  if (events)
    events->push_back({CarEvent::arrive, floor_, 0, direction_});
  state_ = stopping_ ? State::stopping
                     : direction_ > 0 ? State::up : State::down;
}

Snapshot Elevator::snapshot() const {
  Snapshot s;
  s.state = state_;
  s.floor = floor_;
  s.direction = direction_;
  s.capacity = config_.capacity;
  s.aboard = static_cast<uint32_t>(aboard_.size());
  s.max_waiting = config_.max_waiting;
  s.waiting = waiting_count_;
  for (int f = 0; f < kFloors; ++f)
    s.waiting_by_floor[f] = waiting_[f][0].size() + waiting_[f][1].size();
  s.counts = counts_;
  return s;
}

}  // namespace elevmod
