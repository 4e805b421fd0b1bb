#include "model/status.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace elevmod {

namespace {

// snprintf into a std::string: status output is small and built once.
template <typename... Args>
void append(std::string& out, const char* format, Args... args) {
  char line[256];
  int n = std::snprintf(line, sizeof line, format, args...);
  if (n > 0)
    out.append(line, std::min<size_t>(n, sizeof line - 1));
}

// The longest bar of waiting passengers, in characters, and what a shaft
// line holds besides: "  10 |[  5]^|  12345 ".
constexpr uint64_t kBarWidth = 40;
constexpr size_t kShaftMargin = 21;
// The figures a short screen keeps above the shaft.
constexpr size_t kFirstFigures = 3;

// `text` with each line cut to `width` characters at most, between words:
// a number cut short would read as another ("at most 1000" as "at most
// 100").
std::string fit_width(const std::string& text, size_t width) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.size() > width) {
      size_t cut = width;
      while (cut > 0 && line[cut] != ' ' && line[cut - 1] != ' ')
        --cut;
      while (cut > 0 && line[cut - 1] == ' ')
        --cut;
      line.resize(cut);
    }
    out += line + "\n";
    start = end + 1;
  }
  return out;
}

// "12.4 s" (or "17 steps" when the step's length is not known).
std::string wait_text(const Snapshot& s) {
  char text[48];
  if (s.step_ms == 0)
    std::snprintf(text, sizeof text, "%" PRIu64 " steps",
                  s.counts.longest_wait_steps);
  else
    std::snprintf(text, sizeof text, "%.1f s",
                  double(s.counts.longest_wait_steps) * s.step_ms / 1000.0);
  return text;
}

}  // namespace

std::string render_text(const Snapshot& s, size_t max_lines,
                        size_t max_columns) {
  size_t width = max_columns > 1 ? max_columns - 1 : 0;
  uint64_t bar_width =
      std::min<uint64_t>(kBarWidth, width > kShaftMargin ? width - kShaftMargin : 0);
  std::string figures;
  append(figures, "state:      %s\n", state_name(s.state));
  append(figures, "floor:      %d (direction %s)\n", s.floor,
         direction_name(s.direction));
  append(figures, "aboard:     %u of %u\n", s.aboard, s.capacity);
  append(figures, "waiting:    %" PRIu64 " (at most %" PRIu64 ")\n",
         s.waiting, s.max_waiting);
  append(figures, "delivered:  %" PRIu64 " (the longest wait to board: %s)\n",
         s.counts.delivered, wait_text(s).c_str());
  append(figures, "requests:   %" PRIu64 " accepted, %" PRIu64 " refused\n",
         s.counts.accepted, s.counts.refused);
  append(figures, "calls:      %" PRIu64 " start, %" PRIu64 " request, %" PRIu64
         " stop\n", s.counts.start_calls, s.counts.request_calls, s.counts.stop_calls);
  append(figures, "listeners:  %u\n", s.listeners);
  append(figures, "tracers:    %u\n", s.tracers);
  size_t figure_lines = std::count(figures.begin(), figures.end(), '\n');
  // On a short screen the shaft comes before the figures but the first few
  // (state, floor, aboard): the lower ones make room for it.
  size_t shaft_room =
      max_lines > kFirstFigures + 1 ? max_lines - kFirstFigures - 1 : 0;
  int rows = static_cast<int>(std::min<size_t>(kFloors, shaft_room));
  figure_lines =
      std::min(figure_lines, rows > 0 ? max_lines - rows - 1 : max_lines);
  size_t end = 0;
  for (size_t line = 0; line < figure_lines; ++line)
    end = figures.find('\n', end) + 1;
  figures.resize(end);
  if (rows == 0)
    return fit_width(figures, width);
  // The shaft's floors that fit, as near the car as may be.
  int car = std::clamp(s.floor, 1, kFloors);
  int top = std::clamp(car + rows / 2, rows, kFloors);
  std::string out = figures + "\n";
  uint64_t busiest = 0;
  for (uint64_t waiting : s.waiting_by_floor)
    busiest = std::max(busiest, waiting);
  for (int floor = top; floor > top - rows; --floor) {
    char cab[16] = "";
    if (floor == s.floor)
      std::snprintf(cab, sizeof cab, "[%3u]%s", std::min(s.aboard, 999u),
                    s.direction > 0 ? "^" : s.direction < 0 ? "v" : "");
    append(out, "  %2d |%-6s|", floor, cab);
    uint64_t waiting = s.waiting_by_floor[floor - 1];
    if (waiting > 0) {
      // The bars share one scale, set by the busiest floor.
      uint64_t length =
          bar_width == 0 ? 0
                         : std::max<uint64_t>(
                               1, (waiting * bar_width + busiest / 2) / busiest);
      append(out, " %6" PRIu64 "%s%s", waiting, length ? " " : "",
             std::string(length, 'o').c_str());
    }
    out += "\n";
  }
  return fit_width(out, width);
}

std::string render_json(const Snapshot& s) {
  std::string out;
  append(out, "{\"state\":\"%s\",\"floor\":%d,\"direction\":\"%s\",",
         state_name(s.state), s.floor, direction_name(s.direction));
  append(out, "\"aboard\":%u,\"capacity\":%u,", s.aboard, s.capacity);
  append(out, "\"waiting\":%" PRIu64 ",\"max_waiting\":%" PRIu64 ",",
         s.waiting, s.max_waiting);
  out += "\"waiting_by_floor\":[";
  for (int f = 0; f < kFloors; ++f)
    append(out, f ? ",%" PRIu64 : "%" PRIu64, s.waiting_by_floor[f]);
  out += "],";
  append(out, "\"delivered\":%" PRIu64 ",\"accepted\":%" PRIu64
         ",\"refused\":%" PRIu64 ",", s.counts.delivered, s.counts.accepted, s.counts.refused);
  append(out, "\"longest_wait_steps\":%" PRIu64 ",\"longest_wait_ms\":%" PRIu64
         ",", s.counts.longest_wait_steps,
         s.counts.longest_wait_steps * s.step_ms);
  append(out, "\"calls\":{\"start\":%" PRIu64 ",\"request\":%" PRIu64
         ",\"stop\":%" PRIu64 "},", s.counts.start_calls, s.counts.request_calls,
         s.counts.stop_calls);
  append(out, "\"listeners\":%u,\"tracers\":%u}\n", s.listeners, s.tracers);
  return out;
}

}  // namespace elevmod
