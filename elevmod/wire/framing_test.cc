#include "wire/framing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace elevmod {
namespace {

struct Pair {
  UniqueFd ours, theirs;
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    ours.reset(fds[0]);
    theirs.reset(fds[1]);
  }
};

bool is_open(int fd) { return fcntl(fd, F_GETFD) >= 0; }

ino_t inode_of(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// Sends `data` with `count` descriptors attached, as a hostile peer may.
void send_with(int fd, const void* data, size_t size,
               const std::vector<int>& passed) {
  iovec iov{const_cast<void*>(data), size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  std::vector<char> control(CMSG_SPACE(passed.size() * sizeof(int)));
  if (!passed.empty()) {
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(passed.size() * sizeof(int));
    std::memcpy(CMSG_DATA(c), passed.data(), passed.size() * sizeof(int));
  }
  ASSERT_EQ(sendmsg(fd, &msg, 0), static_cast<ssize_t>(size));
}

TEST(Framing, AMessageAndItsDescriptor) {
  Pair pair;
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_TRUE(send_message(pair.theirs.get(), "abcd", 4, p[0]));
  char buffer[8] = {};
  int passed = -1;
  bool truncated = true;
  EXPECT_EQ(receive_message(pair.ours.get(), buffer, sizeof buffer, &passed,
                            &truncated),
            4);
  EXPECT_FALSE(truncated);
  EXPECT_STREQ(buffer, "abcd");
  ASSERT_GE(passed, 0);
  EXPECT_EQ(inode_of(passed), inode_of(p[0]));
  EXPECT_NE(fcntl(passed, F_GETFD) & FD_CLOEXEC, 0);
  for (int fd : {passed, p[0], p[1]})
    close(fd);
}

TEST(Framing, TruncationAndExtraDescriptorsAreNoticed) {
  struct Case {
    size_t sent;      // bytes
    size_t fds;       // descriptors attached
    size_t kept;      // that the receiver gets
    bool truncated;   // data or descriptors did not fit
  };
  const Case cases[] = {{4, 0, 0, false}, {64, 0, 0, true},
                        {4, 2, 2, false}, {4, 4, 4, false},
                        {4, 6, 4, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sent) + " bytes, " + std::to_string(c.fds) +
                 " descriptors");
    Pair pair;
    std::vector<int> passed;
    for (size_t i = 0; i < c.fds; ++i)
      passed.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    std::vector<char> data(c.sent, 'x');
    send_with(pair.theirs.get(), data.data(), data.size(), passed);
    for (int fd : passed)
      close(fd);
    char buffer[8];
    std::vector<UniqueFd> got;
    bool truncated = false, lost = false;
    EXPECT_EQ(receive_with_fds(pair.ours.get(), buffer, sizeof buffer, &got,
                               &truncated, &lost),
              static_cast<ssize_t>(c.sent));
    EXPECT_EQ(got.size(), c.kept);
    EXPECT_EQ(truncated, c.truncated);
    EXPECT_EQ(lost, c.fds > c.kept);
  }
}

TEST(Framing, ExtraDescriptorsAreClosedWhereOnlyOneIsWanted) {
  Pair pair;
  int first = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int second = open("/dev/null", O_RDONLY | O_CLOEXEC);
  send_with(pair.theirs.get(), "ab", 2, {first, second});
  close(first);
  close(second);
  // The receiver's copies land on the lowest free numbers: those just freed.
  char buffer[4];
  int passed = -1;
  bool truncated = false;
  EXPECT_EQ(receive_message(pair.ours.get(), buffer, sizeof buffer, &passed,
                            &truncated),
            2);
  ASSERT_GE(passed, 0);
  int other = passed == first ? second : first;
  EXPECT_FALSE(is_open(other));
  close(passed);
}

TEST(Framing, EndOfFileIsZero) {
  Pair pair;
  pair.theirs.reset();
  char buffer[4];
  int passed = 7;
  bool truncated = true;
  EXPECT_EQ(receive_message(pair.ours.get(), buffer, sizeof buffer, &passed,
                            &truncated),
            0);
  EXPECT_EQ(passed, -1);
  EXPECT_FALSE(truncated);
}

}  // namespace
}  // namespace elevmod
