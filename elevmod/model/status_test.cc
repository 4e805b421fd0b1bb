#include "model/status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace elevmod {
namespace {

Snapshot sample() {
  Snapshot s;
  s.state = State::up;
  s.floor = 3;
  s.direction = 1;
  s.capacity = 5;
  s.aboard = 2;
  s.max_waiting = 100;
  s.waiting = 27;
  s.waiting_by_floor[0] = 2;
  s.waiting_by_floor[8] = 25;
  s.counts.delivered = 4;
  s.counts.accepted = 33;
  s.counts.refused = 1;
  s.counts.start_calls = 1;
  s.counts.request_calls = 34;
  s.counts.stop_calls = 0;
  s.counts.longest_wait_steps = 12;
  s.step_ms = 200;
  s.listeners = 2;
  s.tracers = 1;
  return s;
}

TEST(Status, JsonCarriesEveryFigure) {
  EXPECT_EQ(render_json(sample()),
            "{\"state\":\"up\",\"floor\":3,\"direction\":\"up\","
            "\"aboard\":2,\"capacity\":5,\"waiting\":27,\"max_waiting\":100,"
            "\"waiting_by_floor\":[2,0,0,0,0,0,0,0,25,0],\"delivered\":4,"
            "\"accepted\":33,\"refused\":1,"
            "\"longest_wait_steps\":12,\"longest_wait_ms\":2400,"
            "\"calls\":{\"start\":1,\"request\":34,\"stop\":0},"
            "\"listeners\":2,\"tracers\":1}\n");
}

TEST(Status, TextDrawsTheShaftTopDown) {
  std::string text = render_text(sample());
  EXPECT_NE(text.find("state:      up\n"), std::string::npos);
  EXPECT_NE(text.find("requests:   33 accepted, 1 refused\n"),
            std::string::npos);
  size_t top = text.find("  10 |      |\n");
  size_t car = text.find("   3 |[  2]^|\n");
  size_t crowd = text.find("   9 |      |     25 " + std::string(40, 'o') +
                           "\n");
  size_t ground = text.find("   1 |      |      2 ooo\n");
  ASSERT_NE(top, std::string::npos);
  ASSERT_NE(car, std::string::npos);
  ASSERT_NE(crowd, std::string::npos);
  ASSERT_NE(ground, std::string::npos);
  EXPECT_LT(top, crowd);
  EXPECT_LT(crowd, car);
  EXPECT_LT(car, ground);
}

TEST(Status, CarShowsItsDirectionAndSmallCrowdsStillShow) {
  Snapshot s = sample();
  s.direction = -1;
  s.floor = 1;
  s.waiting_by_floor[0] = 1;
  s.waiting_by_floor[8] = 1000000;
  std::string text = render_text(s);
  EXPECT_NE(text.find("   1 |[  2]v|      1 o\n"), std::string::npos) << text;
  s.direction = 0;
  EXPECT_NE(render_text(s).find("   1 |[  2] |"), std::string::npos);
}

// The shaft's rows, as "floor floor ...", of a drawing.
std::string floors_shown(const std::string& text) {
  std::string floors;
  size_t at = 0;
  while ((at = text.find(" |", at)) != std::string::npos) {
    size_t start = text.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    floors += (floors.empty() ? "" : " ") +
              std::to_string(std::stoi(text.substr(start, at - start)));
    at = text.find('\n', at);
  }
  return floors;
}

TEST(Status, ShortScreensDropShaftRowsFarFromTheCarFirst) {
  struct Case {
    int car_floor;
    size_t max_lines;
    size_t lines;
    std::string floors;
  };
  const Case cases[] = {
      {3, 20, 20, "10 9 8 7 6 5 4 3 2 1"},
      {3, 100, 20, "10 9 8 7 6 5 4 3 2 1"},
      {3, 15, 15, "10 9 8 7 6 5 4 3 2 1"},  // four figures
      {3, 12, 12, "8 7 6 5 4 3 2 1"},       // three figures
      {6, 10, 10, "9 8 7 6 5 4"},
      {10, 9, 9, "10 9 8 7 6"},
      {1, 5, 5, "1"},
      {3, 4, 4, ""},  // a blank line and no floor would tell nothing
      {3, 2, 2, ""},
      {3, 0, 0, ""},
  };
  for (const Case& c : cases) {
    Snapshot s = sample();
    s.floor = c.car_floor;
    std::string text = render_text(s, c.max_lines);
    SCOPED_TRACE("car at " + std::to_string(c.car_floor) + ", " +
                 std::to_string(c.max_lines) + " lines:\n" + text);
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')),
              c.lines);
    EXPECT_EQ(floors_shown(text), c.floors);
    if (c.max_lines > 0) {
      EXPECT_EQ(text.rfind("state:      up\n", 0), 0u);
    }
  }
}

// Narrow screens: the bars shorten to fit, then lines are cut; nothing is
// ever as wide as the terminal (its last column would wrap).
TEST(Status, NarrowScreensShortenBarsThenCutLines) {
  struct Case {
    size_t columns;
    size_t longest_bar;
  };
  const Case cases[] = {{80, 40}, {62, 40}, {60, 38}, {30, 8}, {22, 0},
                        {10, 0}};
  for (const Case& c : cases) {
    std::string text = render_text(sample(), 20, c.columns);
    SCOPED_TRACE(std::to_string(c.columns) + " columns:\n" + text);
    size_t longest_line = 0, longest_bar = 0, start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      std::string line = text.substr(start, end - start);
      longest_line = std::max(longest_line, line.size());
      size_t bar = line.find_last_not_of('o');
      if (line.size() > 21 && bar != std::string::npos && line[bar] == ' ')
        longest_bar = std::max(longest_bar, line.size() - bar - 1);
      start = end + 1;
    }
    EXPECT_LT(longest_line, c.columns);
    EXPECT_EQ(longest_bar, c.longest_bar);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20);
  }
}

// A line too long for the screen is cut between words, never through a
// number, which would then read as another value.
TEST(Status, CutLinesNeverEndInPartOfANumber) {
  Snapshot s = sample();
  s.waiting = 120;
  s.max_waiting = 1000;
  s.counts.accepted = 10000;
  std::string text = render_text(s, 20, 30);
  SCOPED_TRACE(text);
  EXPECT_NE(text.find("\nwaiting:    120 (at most\n"), std::string::npos);
  EXPECT_NE(text.find("\nrequests:   10000 accepted, 1\n"), std::string::npos);
  EXPECT_NE(text.find("\ndelivered:  4 (the longest\n"), std::string::npos);
}

}  // namespace
}  // namespace elevmod
