#include "model/elevator.h"

#include <gtest/gtest.h>

namespace elevmod {
namespace {

Call start_call() { return {kNrStart, {}}; }
Call stop_call() { return {kNrStop, {}}; }
Call request_call(int type, int from, int to) {
  return {kNrRequest, {type, from, to}};
}

// Delivers the call's answer, as the service does once it reached the caller.
int call(Elevator& e, const Call& c) {
  e.note_arrival(c.nr);
  int result = e.answer(c);
  e.commit(c);
  return result;
}

void steps(Elevator& e, int n) {
  for (int i = 0; i < n; ++i)
    e.step();
}

void expect_invariant(const Elevator& e) {
  Snapshot s = e.snapshot();
  EXPECT_EQ(s.counts.accepted, s.waiting + s.aboard + s.counts.delivered);
  uint64_t by_floor = 0;
  for (uint64_t w : s.waiting_by_floor)
    by_floor += w;
  EXPECT_EQ(by_floor, s.waiting);
}

TEST(Elevator, RequestValidity) {
  struct Case {
    int type, from, to, want;
  } cases[] = {
      {0, 1, 10, 0}, {2, 10, 1, 0},  {1, 5, 6, 0},   {3, 1, 2, 1},
      {-1, 1, 2, 1}, {0, 0, 2, 1},   {0, 11, 2, 1},  {0, 2, 0, 1},
      {0, 2, 11, 1}, {0, 4, 4, 1},   {INT32_MIN, 1, 2, 1},
      {0, INT32_MAX, 1, 1},
  };
  for (const Case& c : cases) {
    Elevator e;
    EXPECT_EQ(call(e, request_call(c.type, c.from, c.to)), c.want)
        << c.type << " " << c.from << " " << c.to;
    Snapshot s = e.snapshot();
    EXPECT_EQ(s.counts.accepted, c.want == 0 ? 1u : 0u);
    EXPECT_EQ(s.counts.refused, c.want == 0 ? 0u : 1u);
    EXPECT_EQ(s.counts.request_calls, 1u);
  }
}

TEST(Elevator, StartAndStopRules) {
  Elevator e;
  EXPECT_EQ(call(e, stop_call()), 1);  // offline
  EXPECT_EQ(call(e, start_call()), 0);
  EXPECT_EQ(e.snapshot().state, State::idle);
  EXPECT_EQ(call(e, start_call()), 1);
  EXPECT_EQ(call(e, stop_call()), 0);
  EXPECT_EQ(e.snapshot().state, State::offline);  // nobody aboard
  EXPECT_EQ(call(e, stop_call()), 1);
  EXPECT_EQ(call(e, start_call()), 0);
  Snapshot s = e.snapshot();
  EXPECT_EQ(s.counts.start_calls, 3u);
  EXPECT_EQ(s.counts.stop_calls, 3u);
  EXPECT_EQ(s.counts.accepted + s.counts.refused, 0u);
}

TEST(Elevator, AnswerAloneChangesNothing) {
  Elevator e;
  e.note_arrival(kNrStart);
  EXPECT_EQ(e.answer(start_call()), 0);
  EXPECT_EQ(e.answer(request_call(0, 1, 2)), 0);
  Snapshot s = e.snapshot();
  EXPECT_EQ(s.state, State::offline);
  EXPECT_EQ(s.counts.accepted, 0u);
  EXPECT_EQ(s.counts.start_calls, 1u);
  // The call arrives again after an interruption and is answered afresh.
  EXPECT_EQ(call(e, start_call()), 0);
  EXPECT_EQ(e.snapshot().counts.start_calls, 2u);
}

TEST(Elevator, RefusesBeyondMaxWaiting) {
  Elevator e({.capacity = 5, .max_waiting = 3});
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(call(e, request_call(0, 2, 1)), 0);
  EXPECT_EQ(call(e, request_call(0, 2, 1)), 1);
  EXPECT_EQ(e.snapshot().waiting, 3u);
  // Once the car takes some on, there is room again.
  call(e, start_call());
  steps(e, 2);
  EXPECT_EQ(e.snapshot().waiting, 0u);
  EXPECT_EQ(call(e, request_call(0, 2, 1)), 0);
  expect_invariant(e);
}

TEST(Elevator, RequestsWaitWhileOffline) {
  Elevator e;
  call(e, request_call(1, 3, 7));
  steps(e, 20);
  Snapshot s = e.snapshot();
  EXPECT_EQ(s.state, State::offline);
  EXPECT_EQ(s.floor, 1);
  EXPECT_EQ(s.waiting_by_floor[2], 1u);
}

TEST(Elevator, CarFetchesAndDelivers) {
  Elevator e;
  call(e, start_call());
  call(e, request_call(0, 3, 1));
  // Two floors up, a stop to load, two floors down, a stop to unload.
  e.step();
  EXPECT_EQ(e.snapshot().state, State::up);
  e.step();
  EXPECT_EQ(e.snapshot().floor, 3);
  e.step();
  EXPECT_EQ(e.snapshot().state, State::loading);
  EXPECT_EQ(e.snapshot().aboard, 1u);
  steps(e, 2);
  EXPECT_EQ(e.snapshot().state, State::down);
  EXPECT_EQ(e.snapshot().floor, 1);
  e.step();
  Snapshot s = e.snapshot();
  EXPECT_EQ(s.counts.delivered, 1u);
  EXPECT_EQ(s.aboard, 0u);
  e.step();
  EXPECT_EQ(e.snapshot().state, State::idle);
  expect_invariant(e);
}

TEST(Elevator, CapacityLimitsBoarding) {
  Elevator e({.capacity = 2, .max_waiting = 100});
  for (int i = 0; i < 5; ++i)
    call(e, request_call(i % 3, 1, 4));
  call(e, start_call());
  e.step();
  EXPECT_EQ(e.snapshot().aboard, 2u);
  EXPECT_EQ(e.snapshot().waiting, 3u);
  steps(e, 100);
  Snapshot s = e.snapshot();
  EXPECT_EQ(s.counts.delivered, 5u);
  EXPECT_EQ(s.state, State::idle);
  expect_invariant(e);
}

// A passenger's wait runs from its request to its boarding, in steps: here
// all come at once, so the longest is the step the last of them boards.
TEST(Elevator, LongestWaitRunsToTheLastBoarding) {
  Elevator e({.capacity = 2, .max_waiting = 100});
  for (int i = 0; i < 5; ++i)
    call(e, request_call(i % 3, 1, 4));
  call(e, start_call());
  EXPECT_EQ(e.snapshot().counts.longest_wait_steps, 0u);
  uint64_t last_boarding = 0;
  for (uint64_t step = 1; step <= 100 && e.snapshot().waiting > 0; ++step) {
    e.step();
    last_boarding = step;
  }
  ASSERT_EQ(e.snapshot().waiting, 0u);
  EXPECT_GT(last_boarding, 2u);  // the third pair waited for a round trip
  EXPECT_EQ(e.snapshot().counts.longest_wait_steps, last_boarding);
  // One more, who boards at once, does not lower it.
  call(e, request_call(0, e.snapshot().floor, e.snapshot().floor == 1 ? 2 : 1));
  steps(e, 100);
  EXPECT_EQ(e.snapshot().counts.longest_wait_steps, last_boarding);
}

TEST(Elevator, SweepsOneWayBeforeTurning) {
  Elevator e;
  call(e, start_call());
  call(e, request_call(0, 1, 5));
  e.step();  // boards at 1, going up
  call(e, request_call(0, 3, 2));  // behind it on the way up: wants down
  call(e, request_call(0, 4, 8));  // ahead, same way
  int max_floor = 0, floor_when_down_rider_boards = 0;
  for (int i = 0; i < 40 && e.snapshot().counts.delivered < 3; ++i) {
    e.step();
    Snapshot s = e.snapshot();
    max_floor = std::max(max_floor, s.floor);
    if (!floor_when_down_rider_boards && s.waiting_by_floor[2] == 0)
      floor_when_down_rider_boards = max_floor;
  }
  EXPECT_EQ(e.snapshot().counts.delivered, 3u);
  // The down rider on 3 is picked up only after the sweep up to 8.
  EXPECT_EQ(floor_when_down_rider_boards, 8);
}

TEST(Elevator, StopDeliversThoseAboardAndTakesNoOneElse) {
  Elevator e;
  call(e, start_call());
  call(e, request_call(0, 1, 4));
  e.step();  // boards
  EXPECT_EQ(call(e, stop_call()), 0);
  EXPECT_EQ(e.snapshot().state, State::stopping);
  EXPECT_EQ(call(e, start_call()), 1);  // still stopping
  EXPECT_EQ(call(e, stop_call()), 1);
  call(e, request_call(0, 2, 6));
  steps(e, 10);
  Snapshot s = e.snapshot();
  EXPECT_EQ(s.state, State::offline);
  EXPECT_EQ(s.counts.delivered, 1u);
  EXPECT_EQ(s.floor, 4);
  EXPECT_EQ(s.waiting_by_floor[1], 1u);  // stays on its floor
  // Started again, the car fetches the one left waiting.
  EXPECT_EQ(call(e, start_call()), 0);
  steps(e, 20);
  EXPECT_EQ(e.snapshot().counts.delivered, 2u);
  expect_invariant(e);
}

TEST(Elevator, InvariantHoldsUnderMixedLoad) {
  Elevator e({.capacity = 5, .max_waiting = 50});
  call(e, start_call());
  unsigned seed = 7;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1103515245 + 12345;
    int from = 1 + (seed >> 8) % 10, to = 1 + (seed >> 16) % 10;
    call(e, request_call((seed >> 4) % 4, from, to));
    if (i % 3 == 0)
      e.step();
    if (i % 997 == 0)
      call(e, stop_call());
    if (i % 1499 == 0)
      call(e, start_call());
    expect_invariant(e);
  }
  Snapshot s = e.snapshot();
  EXPECT_GT(s.counts.accepted, 0u);
  EXPECT_GT(s.counts.refused, 0u);
  EXPECT_GT(s.counts.delivered, 0u);
  EXPECT_EQ(s.counts.request_calls, 5000u);
}

}  // namespace
}  // namespace elevmod
