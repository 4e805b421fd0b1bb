// logsink: stands in for the system logger.  Binds a datagram socket at
// PATH (as syslog(3) finds /dev/log) and prints each message it receives as
// one line, until killed.
//
//   logsink PATH

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2 || std::strlen(argv[1]) >= sizeof(sockaddr_un::sun_path)) {
    std::fputs("usage: logsink PATH\n", stderr);
    return 2;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, argv[1]);
  unlink(argv[1]);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) {
    std::perror("logsink: bind");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char message[2048];
  for (;;) {
    ssize_t n = recv(fd, message, sizeof message - 1, 0);
    if (n <= 0)
      continue;
    message[n] = '\0';
    std::printf("%s\n", message);
    std::fflush(stdout);
  }
}
