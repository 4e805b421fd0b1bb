// The elevator that elevmod serves: a plain state machine with no sockets,
// clocks or seccomp in it.  The service asks it for an answer, delivers the
// answer to the caller, and only then commits the call; a timer drives step().
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "calls.h"

namespace elevmod {

constexpr int kFloors = 10;
constexpr int kNrStart = cabgate::kStartCall;
constexpr int kNrRequest = cabgate::kRequestCall;
constexpr int kNrStop = cabgate::kStopCall;

enum class State : uint32_t { offline, idle, loading, up, down, stopping };

// Name of a state as the status shows it ("offline", "idle", ...).
const char* state_name(State state);

// "up", "down" or "none", for a direction of +1, -1 or 0.
const char* direction_name(int direction);

// One elevator call as it arrived: its number and its first three arguments,
// narrowed to 32 bits as the callee's int parameters would see them.
struct Call {
  int nr = 0;
  std::array<int32_t, 3> args{};
};

// The elevator's running counts: kept by the model, shown by the status.
struct Counters {
  uint64_t delivered = 0;
  uint64_t accepted = 0;  // requests answered 0
  uint64_t refused = 0;   // requests answered 1
  uint64_t start_calls = 0;
  uint64_t request_calls = 0;
  uint64_t stop_calls = 0;
  // The longest a passenger waited to board, in the car's steps.
  uint64_t longest_wait_steps = 0;
};

// Everything the status shows.  Fixed layout with no padding: it also
// crosses the socket (wire.h asserts it).
struct Snapshot {
  State state = State::offline;
  int32_t floor = 1;
  int32_t direction = 0;  // +1 up, -1 down, 0 none
  uint32_t capacity = 0;
  uint32_t aboard = 0;
  uint32_t step_ms = 0;  // a step's length, filled in by the service
  uint64_t max_waiting = 0;
  uint64_t waiting = 0;
  std::array<uint64_t, kFloors> waiting_by_floor{};  // index 0 is floor 1
  Counters counts;
  uint32_t listeners = 0;  // filled in by the service
  uint32_t tracers = 0;    // likewise
};

// Something the car did on a step, for tracing.
struct CarEvent {
  enum Kind : uint32_t { arrive, leave, board, turn, offline };
  Kind kind;
  int32_t floor;
  int32_t count;      // passengers for leave and board
  int32_t direction;  // +1 up, -1 down, 0 none: for arrive and turn
};

struct Config {
  uint32_t capacity = 5;
  uint64_t max_waiting = 1000000;
};

class Elevator {
 public:
  explicit Elevator(Config config = {});

  // Counts a call that reached the service, answered or not.
  void note_arrival(int nr);

  // The answer the call would get now: 0 (done) or 1 (refused), or -1 for a
  // number this elevator does not answer.  Changes nothing.
  int answer(const Call& call) const;

  // Applies the call as answer() decided it, once that answer has reached
  // the caller.  Refusals are counted too.  A stop with nobody aboard takes
  // the car offline at once, which is appended to *events when not null.
  void commit(const Call& call, std::vector<CarEvent>* events = nullptr);

  // One tick of the car: it either stops at its floor to unload and load,
  // or moves one floor, or rests.  What it did is appended to *events when
  // that is not null.
  void step(std::vector<CarEvent>* events = nullptr);

  // True while the car has anything to do on a tick.
  bool running() const { return state_ != State::offline; }

  Snapshot snapshot() const;

 private:
  struct Passenger {
    uint8_t type;
    uint8_t dest;
    uint32_t since;  // the step it came on (steps_, which may wrap)
  };

  bool wants_floor(int floor) const;
  bool target_beyond(int direction) const;
  int board(int direction);
  int unload();
  void turn(int direction, std::vector<CarEvent>* events);

  Config config_;
  State state_ = State::offline;
  int floor_ = 1;
  int direction_ = 0;
  bool stopping_ = false;
  std::vector<Passenger> aboard_;
  uint32_t steps_ = 0;  // steps taken, for how long passengers wait
  // Waiting passengers by floor and by the way they go: [floor-1][0] up,
  // [floor-1][1] down.  Each queue is served first come, first served.
  std::array<std::array<std::deque<Passenger>, 2>, kFloors> waiting_;
  uint64_t waiting_count_ = 0;
  Counters counts_;
};

}  // namespace elevmod
