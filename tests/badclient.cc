// badclient: a misbehaving client of the elevmod socket, to show that it
// costs the service nothing.
//
//   badclient SOCKET MODE    MODE: garbage, oversize, pipe, nofd, hangup,
//                                  unknown
//   badclient SOCKET idle N  opens up to N connections that send nothing,
//                            prints "ready COUNT", then "dropped COUNT" once
//                            the service has closed them all (30 s at most)
//   badclient SOCKET noread N  sends N status requests, prints "ready N" and
//                            never reads the replies; holds on until killed
//   badclient SOCKET dup     attaches its own seccomp listener twice, prints
//                            each attach's error ("attach 0", ...), makes
//                            one 324 call ("call RESULT"), prints "ready",
//                            then holds the listener, never called again,
//                            until killed

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "notify.h"
#include "protocol.h"

using elevmod::Request;
using elevmod::Verb;

namespace {

[[noreturn]] void hold() {
  for (;;)
    pause();
}

int idle(const char* path, int count) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    int fd = elevmod::connect_socket(path, 1);
    if (fd < 0)
      break;
    fds.push_back(fd);
  }
  std::printf("ready %zu\n", fds.size());
  std::fflush(stdout);
  size_t dropped = 0;
  std::vector<bool> gone(fds.size(), false);
  for (int round = 0; round < 3000 && dropped < fds.size(); ++round) {
    for (size_t i = 0; i < fds.size(); ++i) {
      if (gone[i])
        continue;
      pollfd p{fds[i], POLLIN, 0};
      if (poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP))) {
        gone[i] = true;
        ++dropped;
      }
    }
    usleep(10000);
  }
  std::printf("dropped %zu\n", dropped);
  return 0;
}

int noread(const char* path, int count) {
  Request status;
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    int fd = elevmod::connect_socket(path, 10);
    if (fd < 0 || !elevmod::send_message(fd, &status, sizeof status, -1))
      return 1;
    fds.push_back(fd);
  }
  std::printf("ready %d\n", count);
  std::fflush(stdout);
  hold();
}

int attach_once(const char* path, int listener) {
  Request attach;
  attach.verb = Verb::attach;
  int fd = elevmod::connect_socket(path, 10);
  if (fd < 0 || !elevmod::send_message(fd, &attach, sizeof attach, listener))
    return -1;
  elevmod::Reply reply;
  bool truncated;
  if (elevmod::receive_message(fd, &reply, sizeof reply, nullptr,
                               &truncated) != sizeof reply)
    return -1;
  close(fd);
  return reply.error;
}

int dup_listener(const char* path) {
  int listener;
  std::string err;
  if (elevmod::install_filter(&listener, &err) != 0) {
    std::fprintf(stderr, "badclient: %s\n", err.c_str());
    return 1;
  }
  int copy = dup(listener);
  std::printf("attach %d\n", attach_once(path, listener));
  std::printf("attach %d\n", attach_once(path, copy));
  std::printf("call %ld\n", syscall(324, 0, 1, 2));
  std::printf("ready\n");
  std::fflush(stdout);
  hold();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: badclient SOCKET MODE [N]\n", stderr);
    return 2;
  }
  std::string mode = argv[2];
  int n = argc > 3 ? std::atoi(argv[3]) : 1;
  if (mode == "idle")
    return idle(argv[1], n);
  if (mode == "noread")
    return noread(argv[1], n);
  if (mode == "dup")
    return dup_listener(argv[1]);
  int fd = elevmod::connect_socket(argv[1], 10);
  if (fd < 0) {
    std::perror("badclient: connect");
    return 1;
  }
  Request attach;
  attach.verb = Verb::attach;
  if (mode == "garbage") {
    const char junk[] = "\x01\x02garbage!";
    send(fd, junk, sizeof junk, 0);
  } else if (mode == "oversize") {
    char big[4096];
    std::memset(big, 'x', sizeof big);
    send(fd, big, sizeof big, 0);
  } else if (mode == "pipe") {
    int p[2];
    if (pipe(p) != 0)
      return 1;
    elevmod::send_message(fd, &attach, sizeof attach, p[0]);
  } else if (mode == "nofd") {
    elevmod::send_message(fd, &attach, sizeof attach, -1);
  } else if (mode == "unknown") {
    Request odd;
    odd.verb = static_cast<Verb>(99);
    elevmod::send_message(fd, &odd, sizeof odd, -1);
  } else if (mode != "hangup") {
    std::fputs("badclient: unknown mode\n", stderr);
    return 2;
  }
  // Read whatever comes back, so the service's answer is not the cause of
  // anything it does afterwards; then hang up.
  char reply[512];
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (mode != "hangup")
    recv(fd, reply, sizeof reply, 0);
  close(fd);
  return 0;
}
