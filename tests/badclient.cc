// badclient: a misbehaving client of the elevmod socket, to show that it
// costs the service nothing.
//
//   badclient SOCKET MODE    MODE: garbage, oversize, pipe, nofd, hangup,
//                                  unknown

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "protocol.h"

using elevmod::Request;
using elevmod::Verb;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: badclient SOCKET MODE\n", stderr);
    return 2;
  }
  std::string mode = argv[2];
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
