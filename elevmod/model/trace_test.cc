#include "model/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace elevmod {
namespace {

// 1970-01-01 00:00:01.000002 in UTC (the text form shows local time).
constexpr int64_t kTime = 1000002000;

TraceEvent call(int nr, const char* comm) {
  TraceEvent e;
  e.time_ns = kTime;
  e.pid = 42;
  e.call.nr = nr;
  e.call.args[0] = 1;
  e.call.args[1] = 5;
  e.call.args[2] = -7;
  e.result = 0;
  e.delivered = 1;
  std::memcpy(e.comm, comm, std::min(sizeof e.comm, std::strlen(comm)));
  return e;
}

std::string after_clock(const std::string& line) {
  return line.substr(line.find(' ') + 1);
}

TEST(Trace, CallsInTextAndJson) {
  TraceEvent request = call(kNrRequest, "producer");
  EXPECT_EQ(after_clock(render_trace_text(request)),
            "pid 42 (producer) request(1, 5, -7) = 0\n");
  EXPECT_EQ(render_trace_json(request),
            "{\"time\":1.000002,\"event\":\"call\",\"pid\":42,"
            "\"comm\":\"producer\",\"call\":\"request\",\"nr\":324,"
            "\"args\":[1,5,-7],\"result\":0,\"delivered\":true}\n");
  TraceEvent stop = call(kNrStop, "consumer");
  stop.delivered = 0;
  stop.result = 1;
  EXPECT_EQ(after_clock(render_trace_text(stop)),
            "pid 42 (consumer) stop() = 1 (caller gone before the answer: "
            "not counted)\n");
  EXPECT_NE(render_trace_json(stop).find("\"args\":[],\"result\":1,"
                                         "\"delivered\":false}"),
            std::string::npos);
}

TEST(Trace, CommandNamesAreEscapedAndBounded) {
  struct Case {
    const char* comm;
    const char* text;  // as the text form shows it
    const char* json;  // as the JSON form quotes it
  };
  const Case cases[] = {
      {"a\"b\\c", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\there\n", "tab?here?", "\"tab\\u0009here\\u000a\""},
      {"\x7f\xff", "??", "\"\\u007f\\u00ff\""},
      // Sixteen bytes with no terminator: fifteen at most are a name.
      {"0123456789abcdefXYZ", "0123456789abcdef", "\"0123456789abcdef\""},
  };
  for (const Case& c : cases) {
    TraceEvent e = call(kNrStart, c.comm);
    SCOPED_TRACE(c.text);
    EXPECT_EQ(after_clock(render_trace_text(e)),
              std::string("pid 42 (") + c.text + ") start() = 0\n");
    EXPECT_NE(render_trace_json(e).find(std::string("\"comm\":") + c.json +
                                        ","),
              std::string::npos)
        << render_trace_json(e);
  }
}

TEST(Trace, EveryCarEventAndTheLostCount) {
  struct Case {
    CarEvent car;
    const char* text;
    const char* json;
  };
  const Case cases[] = {
      {{CarEvent::arrive, 3, 0, 1}, "car arrives at floor 3 going up",
       "\"what\":\"arrive\",\"floor\":3,\"direction\":\"up\"}"},
      {{CarEvent::leave, 3, 1, 0}, "car at floor 3: 1 passenger leave",
       "\"what\":\"leave\",\"floor\":3,\"count\":1}"},
      {{CarEvent::board, 1, 5, 0}, "car at floor 1: 5 passengers board",
       "\"what\":\"board\",\"floor\":1,\"count\":5}"},
      {{CarEvent::turn, 10, 0, -1}, "car turns down at floor 10",
       "\"what\":\"turn\",\"floor\":10,\"direction\":\"down\"}"},
      {{CarEvent::offline, 2, 0, 0}, "car goes offline at floor 2",
       "\"what\":\"offline\",\"floor\":2}"},
      // A kind this client does not know: said so, never a stray byte.
      {{static_cast<CarEvent::Kind>(77), 4, 0, 0},
       "car event of unknown kind 77 at floor 4",
       "\"what\":\"unknown\",\"floor\":4}"},
  };
  for (const Case& c : cases) {
    TraceEvent e;
    e.kind = TraceEvent::Kind::car;
    e.time_ns = kTime;
    e.car = c.car;
    SCOPED_TRACE(c.text);
    EXPECT_EQ(after_clock(render_trace_text(e)), std::string(c.text) + "\n");
    EXPECT_EQ(render_trace_json(e), std::string("{\"time\":1.000002,"
                                                "\"event\":\"car\",") +
                                        c.json + "\n");
  }
  TraceEvent lost;
  lost.kind = TraceEvent::Kind::lost;
  lost.time_ns = kTime;
  lost.lost = 12;
  EXPECT_EQ(after_clock(render_trace_text(lost)),
            "lost 12 events: this tracer fell behind\n");
  EXPECT_EQ(render_trace_json(lost),
            "{\"time\":1.000002,\"event\":\"lost\",\"count\":12}\n");
  TraceEvent odd;
  odd.kind = static_cast<TraceEvent::Kind>(9);
  odd.time_ns = kTime;
  EXPECT_EQ(after_clock(render_trace_text(odd)), "event of unknown kind 9\n");
  EXPECT_EQ(render_trace_json(odd),
            "{\"time\":1.000002,\"event\":\"unknown\",\"kind\":9}\n");
}

}  // namespace
}  // namespace elevmod
