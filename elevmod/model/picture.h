// A picture of a run from its trace (what `elevmod trace --json` writes):
// the car's floor over time, with the waiting and aboard counts beneath, as
// an SVG drawing.  Plain code: text in, text out.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace elevmod {

// What the picture shows, read from a trace.
struct RunSeries {
  struct Point {
    double time;  // seconds since the first event
    long value;
  };
  std::vector<Point> floor;    // where the car arrived, and when
  std::vector<Point> waiting;  // passengers waiting, after each change
  std::vector<Point> aboard;   // passengers aboard, after each change
  double seconds = 0;          // from the first event to the last
  unsigned long lost = 0;      // events the tracer lost (then it is rough)
  // The moments a reader looks for: the first start that was answered 0,
  // the last request accepted ("sending ends"), the first stop after it.
  struct Mark {
    double time;
    std::string label;
  };
  std::vector<Mark> marks;
};

// Reads trace lines (JSON, one object a line) into *series.  Blank lines
// are skipped; false with *err saying which line is not a trace line.
bool read_trace(std::istream& in, RunSeries* series, std::string* err);

// The picture as an SVG document, titled `title`.
std::string render_svg(const RunSeries& series, const std::string& title);

}  // namespace elevmod
