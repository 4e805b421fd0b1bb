// The producer's draws and time arithmetic, called directly: producer.cc is
// built into this test with its main renamed.
#include <sys/time.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

int my_rand(int low, int high);
int rand_type();
int rand_start_floor();
int rand_dest_floor(int start_floor);
void time_diff(const timeval* start, const timeval* end, timeval* diff);

namespace {

TEST(Producer, MyRandStaysBelowItsUpperBound) {
  struct Case {
    int low, high;
  } cases[] = {{0, 3}, {1, 10}, {2, 9}, {0, 100}};
  std::srand(39);
  for (const Case& c : cases) {
    std::set<int> seen;
    for (int i = 0; i < 20000; ++i) {
      int value = my_rand(c.low, c.high);
      ASSERT_GE(value, c.low);
      ASSERT_LT(value, c.high);
      seen.insert(value);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(c.high - c.low));
  }
}

TEST(Producer, MyRandUsesOneRandValue) {
  std::srand(5);
  int first = std::rand();
  int second = std::rand();
  std::srand(5);
  EXPECT_EQ(my_rand(0, 7), first % 7);
  EXPECT_EQ(my_rand(3, 1000), 3 + second % 997);
}

TEST(Producer, GroundFloorGoesToTheTopWithoutADraw) {
  std::srand(11);
  int next = std::rand();
  std::srand(11);
  EXPECT_EQ(rand_dest_floor(1), 10);
  EXPECT_EQ(rand_type(), next % 3);  // the value no draw took
}

TEST(Producer, DestinationsByStartFloor) {
  std::srand(39);
  for (int i = 0; i < 50000; ++i) {
    int from = rand_start_floor();
    ASSERT_GE(from, 1);
    ASSERT_LE(from, 9);
    int to = rand_dest_floor(from);
    ASSERT_NE(to, from);
    ASSERT_NE(to, 9);
    ASSERT_GE(to, 1);
    ASSERT_LE(to, 10);
    if (from == 9) {
      ASSERT_NE(to, 10);
    }
  }
}

TEST(Producer, TimeDiffBorrows) {
  struct Case {
    timeval start, end, want;
  } cases[] = {
      {{8, 900000}, {10, 200000}, {1, 300000}},
      {{8, 200000}, {10, 900000}, {2, 700000}},
      {{5, 0}, {5, 0}, {0, 0}},
      {{5, 999999}, {6, 0}, {0, 1}},
      {{5, 0}, {5, 999999}, {0, 999999}},
      {{100, 500000}, {99, 0}, {-2, 500000}},  // a clock stepped back
      {{0, 0}, {4000000000LL, 0}, {4000000000LL, 0}},
  };
  for (const Case& c : cases) {
    timeval diff{-7, -7};
    time_diff(&c.start, &c.end, &diff);
    EXPECT_EQ(diff.tv_sec, c.want.tv_sec) << c.start.tv_sec << " " << c.end.tv_sec;
    EXPECT_EQ(diff.tv_usec, c.want.tv_usec);
  }
}

}  // namespace
