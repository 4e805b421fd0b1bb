#include "wire/framing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
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
  UniqueFd read_end(p[0]), write_end(p[1]);
  ASSERT_TRUE(send_message(pair.theirs.get(), "abcd", 4, p[0]));
  char buffer[8] = {};
  UniqueFd passed;
  bool truncated = true;
  EXPECT_EQ(receive_message(pair.ours.get(), buffer, sizeof buffer, &passed,
                            &truncated),
            4);
  EXPECT_FALSE(truncated);
  EXPECT_STREQ(buffer, "abcd");
  ASSERT_TRUE(passed);
  EXPECT_EQ(inode_of(passed.get()), inode_of(p[0]));
  EXPECT_NE(fcntl(passed.get(), F_GETFD) & FD_CLOEXEC, 0);
}

// What a peek sees of messages as a hostile peer may send them: the full
// length, copies of at most kMaxPassedFds descriptors, and `more` when
// there were others; the message stays queued until discarded.
TEST(Framing, PeekSeesLengthAndDescriptors) {
  struct Case {
    size_t sent;  // bytes
    size_t fds;   // descriptors attached
    size_t kept;  // copies the peek gets
    bool more;    // descriptors that did not fit
  };
  const Case cases[] = {{4, 0, 0, false}, {64, 0, 0, false},
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
    bool more = false;
    EXPECT_EQ(peek_message(pair.ours.get(), buffer, sizeof buffer, &got, &more),
              static_cast<ssize_t>(c.sent));
    EXPECT_EQ(got.size(), c.kept);
    EXPECT_EQ(more, c.more);
    // Still there: a second peek sees it again, a discard takes it.
    std::vector<UniqueFd> again;
    EXPECT_EQ(peek_message(pair.ours.get(), buffer, sizeof buffer, &again,
                           &more),
              static_cast<ssize_t>(c.sent));
    EXPECT_TRUE(discard_message(pair.ours.get()));
    EXPECT_EQ(peek_message(pair.ours.get(), buffer, sizeof buffer, &again,
                           &more),
              -1);
    EXPECT_EQ(errno, EAGAIN);
  }
}

// Discarding a peeked message never releases a descriptor for good: the
// peeked copy holds it (a pipe keeps its reader) until the copy is closed.
TEST(Framing, DiscardLeavesThePeekedCopyTheLastReference) {
  Pair pair;
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  UniqueFd write_end(p[1]);
  send_with(pair.theirs.get(), "ab", 2, {p[0]});
  close(p[0]);
  char buffer[4];
  std::vector<UniqueFd> got;
  bool more = true;
  ASSERT_EQ(peek_message(pair.ours.get(), buffer, sizeof buffer, &got, &more),
            2);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(more);
  ASSERT_TRUE(discard_message(pair.ours.get()));
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(write(write_end.get(), "x", 1), 1);  // a reader remains
  got.clear();
  EXPECT_EQ(write(write_end.get(), "x", 1), -1);  // now none
  EXPECT_EQ(errno, EPIPE);
}

TEST(Framing, EndOfFileIsZero) {
  Pair pair;
  pair.theirs.reset();
  char buffer[4];
  UniqueFd passed(open("/dev/null", O_RDONLY | O_CLOEXEC));
  bool truncated = true;
  EXPECT_EQ(receive_message(pair.ours.get(), buffer, sizeof buffer, &passed,
                            &truncated),
            0);
  EXPECT_FALSE(passed);
  EXPECT_FALSE(truncated);
  std::vector<UniqueFd> got;
  bool more = true;
  EXPECT_EQ(peek_message(pair.ours.get(), buffer, sizeof buffer, &got, &more),
            0);
  EXPECT_FALSE(more);
}

}  // namespace
}  // namespace elevmod
