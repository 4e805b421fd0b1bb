#include "wire/releaser.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace elevmod {
namespace {

// Waits (within a generous bound) for `done`; false if it never came.
template <typename Done>
bool eventually(Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The write end of a pipe sees its reader go once the releaser has closed
// the read end: released away from the caller, and counted until then.
TEST(Releaser, ClosesWhatItIsGivenAndCountsItUntilThen) {
  Releaser releaser(4);
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  UniqueFd write_end(p[1]);
  std::vector<UniqueFd> fds;
  fds.emplace_back(p[0]);
  fds.emplace_back();  // an empty one is skipped, not counted
  releaser.release(std::move(fds));
  pollfd gone{write_end.get(), 0, 0};
  EXPECT_TRUE(eventually([&] {
    return poll(&gone, 1, 0) == 1 && (gone.revents & POLLERR);
  }));
  EXPECT_TRUE(eventually([&] { return releaser.held() == 0; }));
  EXPECT_GE(releaser.threads(), 1u);
}

// A connection closed with a message unread resets its peer, which then
// loses what it was sent; released as a connection, it is drained first,
// so the peer still reads its answer.
TEST(Releaser, AConnectionIsDrainedSoItsPeerGetsItsAnswer) {
  for (bool drained : {false, true}) {
    SCOPED_TRACE(drained ? "drained" : "closed as it is");
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd ours(fds[0]), theirs(fds[1]);
    ASSERT_EQ(send(theirs.get(), "ask", 3, 0), 3);     // never read by us
    ASSERT_EQ(send(ours.get(), "answer", 6, 0), 6);
    Releaser releaser(2);
    if (drained)
      releaser.release_connection(std::move(ours));
    else
      releaser.release(std::move(ours));
    ASSERT_TRUE(eventually([&] { return releaser.held() == 0; }));
    char buffer[16];
    ssize_t n = recv(theirs.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (drained) {
      EXPECT_EQ(n, 6);
    } else {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(errno, ECONNRESET);
    }
  }
}

}  // namespace
}  // namespace elevmod
