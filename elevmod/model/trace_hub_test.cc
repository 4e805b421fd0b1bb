#include "model/trace_hub.h"

#include <gtest/gtest.h>

#include <vector>

namespace elevmod {
namespace {

TraceEvent call_event(int32_t pid) {
  TraceEvent e;
  e.pid = pid;
  return e;
}

// What tracer `id` is sent, a message of up to `max` at a time, all taken.
std::vector<TraceEvent> drain(TraceHub& hub, uint64_t id, size_t max = 64) {
  std::vector<TraceEvent> all, batch;
  for (;;) {
    uint64_t first;
    hub.peek(id, max, 7, &batch, &first);
    if (batch.empty())
      return all;
    bool lost = batch.front().kind == TraceEvent::Kind::lost;
    hub.consume(id, first + batch.size() - (lost ? 1 : 0));
    all.insert(all.end(), batch.begin(), batch.end());
  }
}

TEST(TraceHub, EachTracerGetsEveryEventFromItsOwnStart) {
  TraceHub hub(8);
  hub.add(1);
  hub.record(call_event(10));
  hub.add(2);
  hub.record(call_event(11));
  std::vector<TraceEvent> first = drain(hub, 1, 1);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].pid, 10);
  EXPECT_EQ(first[1].pid, 11);
  std::vector<TraceEvent> second = drain(hub, 2);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].pid, 11);
  EXPECT_EQ(hub.waiting(1), 0u);
}

TEST(TraceHub, AnOvertakenTracerIsToldWhatItLostThenGetsTheRest) {
  // Seen and lost add up to every event, whichever way the tracer falls
  // behind: never reading, or reading part-way and stopping.
  struct Case {
    size_t read_first;  // events taken before the tracer stops reading
    size_t recorded;
  };
  for (const Case& c : {Case{0, 20}, Case{3, 20}, Case{8, 9}, Case{0, 8}}) {
    TraceHub hub(8);
    hub.add(1);
    size_t seen = 0;
    for (size_t i = 0; i < c.recorded; ++i) {
      hub.record(call_event(static_cast<int32_t>(i)));
      if (i + 1 == c.read_first)
        seen += drain(hub, 1).size();
    }
    std::vector<TraceEvent> rest = drain(hub, 1);
    uint64_t lost = 0;
    for (const TraceEvent& e : rest)
      if (e.kind == TraceEvent::Kind::lost)
        lost += e.lost;
      else
        ++seen;
    SCOPED_TRACE(std::to_string(c.read_first) + " read, " +
                 std::to_string(c.recorded) + " recorded");
    EXPECT_EQ(seen + lost, c.recorded);
    EXPECT_LE(rest.size(), 9u);  // one ring and one lost event at most
    EXPECT_EQ(rest.back().pid, static_cast<int32_t>(c.recorded - 1));
  }
}

TEST(TraceHub, OvertakenBetweenPeekAndConsumeStillAddsUp) {
  TraceHub hub(4);
  hub.add(1);
  for (int i = 0; i < 4; ++i)
    hub.record(call_event(i));
  std::vector<TraceEvent> batch;
  uint64_t first;
  hub.peek(1, 2, 0, &batch, &first);  // 0 and 1 go out...
  for (int i = 4; i < 10; ++i)         // ...while the ring moves on
    hub.record(call_event(i));
  hub.consume(1, first + 2);
  std::vector<TraceEvent> rest = drain(hub, 1);
  ASSERT_FALSE(rest.empty());
  ASSERT_EQ(rest.front().kind, TraceEvent::Kind::lost);
  EXPECT_EQ(rest.front().lost, 4u);  // 2..5 were overwritten unsent
  EXPECT_EQ(rest.size(), 5u);        // then 6..9
  EXPECT_EQ(rest[1].pid, 6);
}

TEST(TraceHub, GivingUpTurnsWhatWaitsIntoOneLostCount) {
  TraceHub hub(16);
  hub.add(1);
  for (int i = 0; i < 5; ++i)
    hub.record(call_event(i));
  hub.give_up(1);
  std::vector<TraceEvent> rest = drain(hub, 1);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].kind, TraceEvent::Kind::lost);
  EXPECT_EQ(rest[0].lost, 5u);
}

TEST(TraceHub, NothingIsKeptWhileNobodyTraces) {
  TraceHub hub(4);
  hub.record(call_event(1));
  hub.add(1);
  EXPECT_EQ(hub.waiting(1), 0u);
  hub.record(call_event(2));
  hub.remove(1);
  hub.add(2);
  hub.record(call_event(3));
  std::vector<TraceEvent> got = drain(hub, 2);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].pid, 3);
}

}  // namespace
}  // namespace elevmod
