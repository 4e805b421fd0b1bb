#include "status.h"

#include <gtest/gtest.h>

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
  s.delivered = 4;
  s.accepted = 33;
  s.refused = 1;
  s.start_calls = 1;
  s.request_calls = 34;
  s.stop_calls = 0;
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

}  // namespace
}  // namespace elevmod
