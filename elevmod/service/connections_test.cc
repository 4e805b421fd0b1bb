#include "service/connections.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace elevmod {
namespace {

UniqueFd some_fd() { return UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC)); }

TEST(ConnectionTable, DeadlinesExpireOldestFirstAndSerialsAreNeverReused) {
  ConnectionTable table(4, 1000);
  table.set_first_serial(16);
  uint64_t a = table.add(some_fd(), 0, 0);
  uint64_t b = table.add(some_fd(), EPERM, 400);
  EXPECT_EQ(a, 16u);
  EXPECT_EQ(b, 17u);
  EXPECT_EQ(table.next_timeout_ms(0), 1001);
  EXPECT_EQ(table.expired(999), std::vector<uint64_t>{});
  EXPECT_EQ(table.expired(1000), std::vector<uint64_t>{a});
  EXPECT_EQ(table.expired(5000), (std::vector<uint64_t>{a, b}));
  EXPECT_TRUE(table.remove(a));
  EXPECT_FALSE(table.remove(a));  // gone: a stale serial finds nothing
  EXPECT_EQ(table.find(a), nullptr);
  uint64_t c = table.add(some_fd(), 0, 500);
  EXPECT_GT(c, b);
  EXPECT_EQ(table.find(b)->refusal, EPERM);
  EXPECT_EQ(table.oldest_first(), (std::vector<uint64_t>{b, c}));
  EXPECT_EQ(table.next_timeout_ms(2000), 0);
}

TEST(ConnectionTable, FullAtCapacity) {
  ConnectionTable table(2, 1000);
  EXPECT_EQ(table.next_timeout_ms(0), -1);
  uint64_t a = table.add(some_fd(), 0, 0);
  EXPECT_FALSE(table.full());
  table.add(some_fd(), 0, 0);
  EXPECT_TRUE(table.full());
  table.remove(a);
  EXPECT_FALSE(table.full());
  EXPECT_EQ(table.size(), 1u);
}

}  // namespace
}  // namespace elevmod
