#include "model/trace.h"

#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace elevmod {

namespace {

const char* call_name(int nr) {
  switch (nr) {
    case kNrStart: return "start";
    case kNrRequest: return "request";
    case kNrStop: return "stop";
    default: return "unknown";
  }
}

const char* car_what(CarEvent::Kind kind) {
  switch (kind) {
    case CarEvent::arrive: return "arrive";
    case CarEvent::leave: return "leave";
    case CarEvent::board: return "board";
    case CarEvent::turn: return "turn";
    case CarEvent::offline: return "offline";
  }
  return "unknown";
}

// The command name as the kernel keeps it, at most 15 bytes; terminated
// here whatever arrived.
std::string comm_of(const TraceEvent& event) {
  return std::string(event.comm, strnlen(event.comm, sizeof event.comm));
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A command name may hold anything; the text form shows it printable.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    out += c < 0x20 || c >= 0x7f ? '?' : static_cast<char>(c);
  return out;
}

std::string clock_text(int64_t time_ns) {
  time_t seconds = static_cast<time_t>(time_ns / 1000000000);
  tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06" PRId64, local.tm_hour,
                local.tm_min, local.tm_sec, time_ns % 1000000000 / 1000);
  return text;
}

}  // namespace

std::string render_trace_text(const TraceEvent& e) {
  std::string out = clock_text(e.time_ns) + " ";
  char line[160];
  if (e.kind == TraceEvent::Kind::call) {
    const auto& a = e.call.args;
    if (e.call.nr == kNrRequest)
      std::snprintf(line, sizeof line, "request(%d, %d, %d)", a[0], a[1],
                    a[2]);
    else
      std::snprintf(line, sizeof line, "%s()", call_name(e.call.nr));
    out += "pid " + std::to_string(e.pid) + " (" + printable(comm_of(e)) +
           ") " + line + " = " + std::to_string(e.result);
    if (!e.delivered)
      out += " (caller gone before the answer: not counted)";
  } else if (e.kind == TraceEvent::Kind::car) {
    const CarEvent& c = e.car;
    switch (c.kind) {
      case CarEvent::arrive:
        std::snprintf(line, sizeof line, "car arrives at floor %d going %s",
                      c.floor, direction_name(c.direction));
        break;
      case CarEvent::leave:
      case CarEvent::board:
        std::snprintf(line, sizeof line, "car at floor %d: %d %s %s",
                      c.floor, c.count,
                      c.count == 1 ? "passenger" : "passengers",
                      c.kind == CarEvent::leave ? "leave" : "board");
        break;
      case CarEvent::turn:
        std::snprintf(line, sizeof line, "car turns %s at floor %d",
                      direction_name(c.direction), c.floor);
        break;
      case CarEvent::offline:
        std::snprintf(line, sizeof line, "car goes offline at floor %d",
                      c.floor);
        break;
      default:
        // From a service newer (or stranger) than this client.
        std::snprintf(line, sizeof line,
                      "car event of unknown kind %d at floor %d",
                      static_cast<int>(c.kind), c.floor);
        break;
    }
    out += line;
  } else if (e.kind == TraceEvent::Kind::lost) {
    out += "lost " + std::to_string(e.lost) +
           " events: this tracer fell behind";
  } else {
    out += "event of unknown kind " +
           std::to_string(static_cast<uint32_t>(e.kind));
  }
  return out + "\n";
}

std::string render_trace_json(const TraceEvent& e) {
  char head[64];
  std::snprintf(head, sizeof head, "{\"time\":%" PRId64 ".%06" PRId64 ",",
                e.time_ns / 1000000000, e.time_ns % 1000000000 / 1000);
  std::string out = head;
  if (e.kind == TraceEvent::Kind::call) {
    const auto& a = e.call.args;
    out += "\"event\":\"call\",\"pid\":" + std::to_string(e.pid) +
           ",\"comm\":" + json_string(comm_of(e)) + ",\"call\":\"" +
           call_name(e.call.nr) + "\",\"nr\":" + std::to_string(e.call.nr) +
           ",\"args\":[";
    if (e.call.nr == kNrRequest)
      out += std::to_string(a[0]) + "," + std::to_string(a[1]) + "," +
             std::to_string(a[2]);
    out += "],\"result\":" + std::to_string(e.result) +
           ",\"delivered\":" + (e.delivered ? "true" : "false") + "}\n";
  } else if (e.kind == TraceEvent::Kind::car) {
    const CarEvent& c = e.car;
    out += std::string("\"event\":\"car\",\"what\":\"") + car_what(c.kind) +
           "\",\"floor\":" + std::to_string(c.floor);
    if (c.kind == CarEvent::leave || c.kind == CarEvent::board)
      out += ",\"count\":" + std::to_string(c.count);
    if (c.kind == CarEvent::arrive || c.kind == CarEvent::turn)
      out += std::string(",\"direction\":\"") + direction_name(c.direction) +
             "\"";
    out += "}\n";
  } else if (e.kind == TraceEvent::Kind::lost) {
    out += "\"event\":\"lost\",\"count\":" + std::to_string(e.lost) + "}\n";
  } else {
    out += "\"event\":\"unknown\",\"kind\":" +
           std::to_string(static_cast<uint32_t>(e.kind)) + "}\n";
  }
  return out;
}

}  // namespace elevmod
