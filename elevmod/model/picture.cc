#include "model/picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "model/elevator.h"

namespace elevmod {

namespace {

// The text after "KEY": in a flat JSON object, or "" when it is not there.
std::string field(const std::string& line, const char* key) {
  std::string quoted = std::string("\"") + key + "\":";
  size_t at = line.find(quoted);
  if (at == std::string::npos)
    return "";
  size_t start = at + quoted.size();
  size_t end = start;
  if (start < line.size() && line[start] == '"') {
    end = line.find('"', start + 1);
    return end == std::string::npos ? "" : line.substr(start + 1, end - start - 1);
  }
  while (end < line.size() && line[end] != ',' && line[end] != '}')
    ++end;
  return line.substr(start, end - start);
}

bool whole_number(const std::string& text, long* out) {
  if (text.empty())
    return false;
  char* end = nullptr;
  *out = std::strtol(text.c_str(), &end, 10);
  return *end == '\0';
}

// Appends a point, or moves the last one when it has the same time.
void add(std::vector<RunSeries::Point>& points, double time, long value) {
  if (!points.empty() && points.back().time == time)
    points.back().value = value;
  else
    points.push_back({time, value});
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

// Drawing sizes, in SVG user units.
constexpr double kWidth = 960, kLeft = 60, kRight = 20;
constexpr double kPlot = kWidth - kLeft - kRight;

// A step line (a value holds until the next) of `points`, scaled into the
// band from `top` to `top + height` for values from 0 (or 1) to `high`.
std::string steps(const std::vector<RunSeries::Point>& points, double seconds,
                  double top, double height, long low, long high,
                  const char* colour) {
  if (points.empty())
    return "";
  auto x = [&](double t) { return kLeft + (seconds > 0 ? t / seconds : 0) * kPlot; };
  auto y = [&](long v) {
    double share = high > low ? double(v - low) / double(high - low) : 0;
    return top + height - share * height;
  };
  std::string out = "<polyline fill=\"none\" stroke=\"";
  out += colour;
  out += "\" stroke-width=\"1.5\" points=\"";
  char point[64];
  for (size_t i = 0; i < points.size(); ++i) {
    std::snprintf(point, sizeof point, "%.1f,%.1f ", x(points[i].time),
                  y(points[i].value));
    out += point;
    double until = i + 1 < points.size() ? points[i + 1].time : seconds;
    std::snprintf(point, sizeof point, "%.1f,%.1f ", x(until),
                  y(points[i].value));
    out += point;
  }
  out.back() = '"';
  return out + "/>\n";
}

long highest(const std::vector<RunSeries::Point>& points) {
  long high = 0;
  for (const auto& p : points)
    high = std::max(high, p.value);
  return high;
}

}  // namespace

bool read_trace(std::istream& in, RunSeries* series, std::string* err) {
  *series = RunSeries();
  std::string line;
  size_t number = 0;
  bool started = false;
  double first = 0, last = 0;
  long waiting = 0, aboard = 0;
  double started_at = -1, last_request = -1, stopped_at = -1;
  while (std::getline(in, line)) {
    ++number;
    if (line.find_first_not_of(" \t\r") == std::string::npos)
      continue;
    std::string time_text = field(line, "time");
    std::string event = field(line, "event");
    char* end = nullptr;
    double time = std::strtod(time_text.c_str(), &end);
    if (line.front() != '{' || time_text.empty() || *end != '\0' ||
        event.empty()) {
      *err = "line " + std::to_string(number) +
             " is not a line of 'elevmod trace --json'";
      return false;
    }
    if (!started) {
      started = true;
      first = time;
    }
    time -= first;
    last = std::max(last, time);
    long value = 0;
    if (event == "call") {
      std::string call = field(line, "call");
      bool answered = field(line, "result") == "0" &&
                      field(line, "delivered") == "true";
      if (call == "request" && answered) {
        add(series->waiting, time, ++waiting);
        last_request = time;
      } else if (call == "start" && answered && started_at < 0) {
        started_at = time;
      } else if (call == "stop" && field(line, "delivered") == "true" &&
                 stopped_at < last_request) {
        stopped_at = time;
      }
    } else if (event == "car") {
      std::string what = field(line, "what");
      long count = 0;
      whole_number(field(line, "count"), &count);
      if (what == "arrive" && whole_number(field(line, "floor"), &value)) {
        add(series->floor, time, value);
      } else if (what == "board") {
        waiting = std::max(0L, waiting - count);
        aboard += count;
        add(series->waiting, time, waiting);
        add(series->aboard, time, aboard);
      } else if (what == "leave") {
        aboard = std::max(0L, aboard - count);
        add(series->aboard, time, aboard);
      }
    } else if (event == "lost" && whole_number(field(line, "count"), &value)) {
      series->lost += static_cast<unsigned long>(value);
    }
  }
  series->seconds = last;
  if (started_at >= 0)
    series->marks.push_back({started_at, "start"});
  if (last_request >= 0)
    series->marks.push_back({last_request, "sending ends"});
  if (stopped_at >= 0 && stopped_at >= last_request)
    series->marks.push_back({stopped_at, "stop"});
  // Before its first move the car stands at the ground floor.
  if (series->floor.empty() || series->floor.front().time > 0)
    series->floor.insert(series->floor.begin(), {0, 1});
  return true;
}

std::string render_svg(const RunSeries& series, const std::string& title) {
  // The shaft on top, then the waiting count, then those aboard.
  constexpr double kShaftTop = 50, kShaft = 300;
  constexpr double kWaitingTop = 390, kBand = 110;
  constexpr double kAboardTop = 540, kHeight = 690;
  long most_waiting = std::max(1L, highest(series.waiting));
  long most_aboard = std::max(1L, highest(series.aboard));
  std::string out;
  char text[256];
  std::snprintf(text, sizeof text,
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" "
                "height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
                "font-family=\"sans-serif\" font-size=\"12\">\n",
                kWidth, kHeight, kWidth, kHeight);
  out += text;
  out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  std::string heading = title;
  if (series.lost > 0)
    heading += " (" + std::to_string(series.lost) +
               " events lost: roughly)";
  out += "<text x=\"" + std::to_string(int(kLeft)) + "\" y=\"25\" " +
         "font-size=\"16\">" + escaped(heading) + "</text>\n";
  // The floors, with a line each.
  for (int floor = 1; floor <= kFloors; ++floor) {
    double y = kShaftTop + kShaft - double(floor - 1) / (kFloors - 1) * kShaft;
    std::snprintf(text, sizeof text,
                  "<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" "
                  "stroke=\"#ddd\"/><text x=\"%.0f\" y=\"%.1f\" "
                  "text-anchor=\"end\">%d</text>\n",
                  kLeft, y, kWidth - kRight, y, kLeft - 8, y + 4, floor);
    out += text;
  }
  out += steps(series.floor, series.seconds, kShaftTop, kShaft, 1, kFloors,
               "#1f5fa8");
  const struct {
    const char* label;
    const std::vector<RunSeries::Point>& points;
    double top;
    long high;
    const char* colour;
  } bands[] = {{"waiting", series.waiting, kWaitingTop, most_waiting, "#c0392b"},
               {"aboard", series.aboard, kAboardTop, most_aboard, "#27ae60"}};
  for (const auto& band : bands) {
    std::snprintf(text, sizeof text,
                  "<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" "
                  "fill=\"none\" stroke=\"#ddd\"/><text x=\"%.0f\" "
                  "y=\"%.0f\">%s (at most %ld)</text>\n",
                  kLeft, band.top, kPlot, kBand, kLeft, band.top - 6,
                  band.label, band.high);
    out += text;
    out += steps(band.points, series.seconds, band.top, kBand, 0, band.high,
                 band.colour);
  }
  auto x = [&](double t) {
    return kLeft + (series.seconds > 0 ? t / series.seconds : 0) * kPlot;
  };
  // Ticks at a round step: 1, 2 or 5 times a power of ten, some 5 to 10 of
  // them whatever the run's length.
  double step = 1;
  if (series.seconds > 0) {
    double power = std::pow(10.0, std::floor(std::log10(series.seconds / 5)));
    step = power;
    for (double times : {2.0, 5.0, 10.0})
      if (series.seconds / step > 10)
        step = power * times;
  }
  for (int i = 0; i * step <= series.seconds + 1e-9; ++i) {
    double t = i * step;
    std::snprintf(text, sizeof text,
                  "<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\" "
                  "stroke=\"#999\"/><text x=\"%.1f\" y=\"%.0f\" "
                  "text-anchor=\"middle\">%g s</text>\n",
                  x(t), kAboardTop + kBand, x(t), kAboardTop + kBand + 6, x(t),
                  kHeight - 20, t);
    out += text;
  }
  // The marks, across every band.
  for (const RunSeries::Mark& mark : series.marks) {
    std::snprintf(text, sizeof text,
                  "<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\" "
                  "stroke=\"#555\" stroke-dasharray=\"4 3\"/><text x=\"%.1f\" "
                  "y=\"%.0f\" font-size=\"11\">",
                  x(mark.time), kShaftTop - 8, x(mark.time), kAboardTop + kBand,
                  x(mark.time) + 3, kShaftTop - 10);
    out += text + escaped(mark.label) + "</text>\n";
  }
  return out + "</svg>\n";
}

}  // namespace elevmod
