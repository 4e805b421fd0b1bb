// responder: the floor of any design that answers the elevator calls from a
// separate process.  It runs COMMAND under the same filter as `elevmod run`
// and answers every call 0 from one loop on the kernel's blocking receive,
// with nothing else to do.
//
//   responder COMMAND [ARG...]    exits with COMMAND's status

#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "wire/framing.h"
#include "wire/notify.h"

namespace {

void answer_all(int listener) {
  // Kernels without the synchronous wake-up do not end a blocking receive
  // when the command is gone, so there the loop waits in poll().
  bool blocking = elevmod::set_sync_wakeup(listener);
  alignas(64) unsigned char request[512];
  seccomp_notif_resp response;
  for (;;) {
    if (!blocking) {
      pollfd p{listener, POLLIN, 0};
      if (poll(&p, 1, -1) < 0 || !(p.revents & POLLIN))
        return;
    }
    std::memset(request, 0, sizeof request);
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, request) != 0) {
      if (errno == EINTR || (errno == ENOENT && !elevmod::listener_hung_up(listener)))
        continue;
      return;
    }
    std::memset(&response, 0, sizeof response);
    response.id = reinterpret_cast<seccomp_notif*>(request)->id;
    ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: responder COMMAND [ARG...]\n", stderr);
    return 2;
  }
  int channel[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0)
    return 1;
  pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    elevmod::UniqueFd listener;
    std::string err;
    if (elevmod::install_filter(&listener, &err) != 0) {
      std::fprintf(stderr, "responder: %s\n", err.c_str());
      _exit(125);
    }
    char byte = 0;
    elevmod::send_message(channel[1], &byte, 1, listener.get());
    listener.reset();
    close(channel[1]);
    execvp(argv[1], argv + 1);
    std::perror("responder: exec");
    _exit(127);
  }
  close(channel[1]);
  elevmod::UniqueFd listener;
  bool truncated;
  char byte;
  if (elevmod::receive_message(channel[0], &byte, 1, &listener,
                               &truncated) == 1 &&
      listener) {
    elevmod::Notifier probe;
    std::string err;
    if (probe.usable(&err))  // libseccomp's probe enables notifications
      answer_all(listener.get());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
