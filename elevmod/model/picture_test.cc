#include "model/picture.h"

#include <gtest/gtest.h>

#include <sstream>

namespace elevmod {
namespace {

const char kTrace[] =
    R"({"time":100.000000,"event":"call","pid":7,"comm":"producer","call":"request","nr":324,"args":[0,1,5],"result":0,"delivered":true}
{"time":100.500000,"event":"call","pid":7,"comm":"producer","call":"request","nr":324,"args":[0,0,5],"result":1,"delivered":true}
{"time":101.000000,"event":"call","pid":7,"comm":"producer","call":"request","nr":324,"args":[0,1,3],"result":0,"delivered":false}

{"time":101.500000,"event":"call","pid":7,"comm":"producer","call":"request","nr":324,"args":[1,1,4],"result":0,"delivered":true}
{"time":102.000000,"event":"car","what":"board","floor":1,"count":2}
{"time":103.000000,"event":"car","what":"arrive","floor":2,"direction":"up"}
{"time":104.000000,"event":"car","what":"leave","floor":2,"count":1}
{"time":104.000000,"event":"lost","count":12}
)";

std::string points(const std::vector<RunSeries::Point>& series) {
  std::string out;
  for (const auto& p : series)
    out += std::to_string(p.time).substr(0, 3) + "=" + std::to_string(p.value) +
           " ";
  return out;
}

// Only accepted requests whose answer reached the caller wait; boarding
// moves them aboard, leaving takes them off; the car starts at floor 1.
TEST(Picture, ATraceBecomesTheCarsFloorAndItsCounts) {
  std::istringstream in(kTrace);
  RunSeries series;
  std::string err;
  ASSERT_TRUE(read_trace(in, &series, &err)) << err;
  EXPECT_EQ(points(series.waiting), "0.0=1 1.5=2 2.0=0 ");
  EXPECT_EQ(points(series.aboard), "2.0=2 4.0=1 ");
  EXPECT_EQ(points(series.floor), "0.0=1 3.0=2 ");
  EXPECT_DOUBLE_EQ(series.seconds, 4.0);
  EXPECT_EQ(series.lost, 12u);
}

TEST(Picture, ALineThatIsNotATraceLineIsNamed) {
  const char* cases[] = {"not json\n", "{\"event\":\"car\"}\n",
                         "{\"time\":1.0}\n", "{\"time\":x,\"event\":\"car\"}\n"};
  for (const char* bad : cases) {
    std::string first(kTrace, std::string(kTrace).find('\n') + 1);
    std::istringstream in(first + bad);
    RunSeries series;
    std::string err;
    SCOPED_TRACE(bad);
    EXPECT_FALSE(read_trace(in, &series, &err));
    EXPECT_EQ(err, "line 2 is not a line of 'elevmod trace --json'");
  }
}

TEST(Picture, TheDrawingHasThreeLinesAndSaysWhatWasLost) {
  std::istringstream in(kTrace);
  RunSeries series;
  std::string err;
  ASSERT_TRUE(read_trace(in, &series, &err));
  std::string svg = render_svg(series, "a <run>");
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  size_t lines = 0;
  for (size_t at = svg.find("<polyline"); at != std::string::npos;
       at = svg.find("<polyline", at + 1))
    ++lines;
  EXPECT_EQ(lines, 3u);
  EXPECT_NE(svg.find("a &lt;run&gt; (12 events lost: roughly)"),
            std::string::npos);
  EXPECT_NE(svg.find("waiting (at most 2)"), std::string::npos);
  EXPECT_NE(svg.find("aboard (at most 2)"), std::string::npos);
}

// The start, the end of sending and the stop are marked; the time axis has
// round ticks from 0 s to the end.
TEST(Picture, TheRunsMomentsAreMarkedOnATimeAxis) {
  std::string trace =
      R"({"time":10.0,"event":"call","pid":7,"comm":"consumer","call":"start","nr":323,"args":[],"result":0,"delivered":true}
{"time":12.0,"event":"call","pid":8,"comm":"producer","call":"request","nr":324,"args":[0,1,5],"result":0,"delivered":true}
{"time":40.0,"event":"call","pid":8,"comm":"producer","call":"request","nr":324,"args":[0,2,5],"result":0,"delivered":true}
{"time":41.0,"event":"call","pid":8,"comm":"producer","call":"request","nr":324,"args":[0,2,5],"result":1,"delivered":true}
{"time":70.0,"event":"call","pid":9,"comm":"consumer","call":"stop","nr":325,"args":[],"result":0,"delivered":true}
{"time":75.0,"event":"car","what":"arrive","floor":2,"direction":"up"}
)";
  std::istringstream in(trace);
  RunSeries series;
  std::string err;
  ASSERT_TRUE(read_trace(in, &series, &err)) << err;
  std::string marks;
  for (const auto& mark : series.marks)
    marks += mark.label + "@" + std::to_string(int(mark.time)) + " ";
  EXPECT_EQ(marks, "start@0 sending ends@30 stop@60 ");
  std::string svg = render_svg(series, "run");
  for (const char* label : {">start<", ">sending ends<", ">stop<", ">0 s<",
                            ">10 s<", ">60 s<"})
    EXPECT_NE(svg.find(label), std::string::npos) << label;
  EXPECT_EQ(svg.find(">70 s<"), std::string::npos);  // past the end (65 s)
}

}  // namespace
}  // namespace elevmod
