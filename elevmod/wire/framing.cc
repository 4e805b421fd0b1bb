#include "wire/framing.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace elevmod {

namespace {

// Most descriptors one message can carry (the kernel's SCM_MAX_FD).
constexpr size_t kMostPerMessage = 253;

// One recvmsg with room for `max_fds` descriptors (kMostPerMessage at
// most), retried on EINTR.  The descriptors that came land in *fds, as
// this process's own.
ssize_t receive(int fd, void* data, size_t size, int flags, size_t max_fds,
                std::vector<UniqueFd>* fds, int* msg_flags) {
  fds->clear();
  *msg_flags = 0;
  iovec iov{data, size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(kMostPerMessage * sizeof(int))];
  msg.msg_control = control;
  msg.msg_controllen = CMSG_SPACE(std::min(max_fds, kMostPerMessage) *
                                  sizeof(int));
  ssize_t n;
  do
    n = recvmsg(fd, &msg, flags | MSG_CMSG_CLOEXEC | MSG_TRUNC);
  while (n < 0 && errno == EINTR);
  if (n < 0)
    return -1;
  *msg_flags = msg.msg_flags;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
      continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int passed;
      std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
      fds->emplace_back(passed);
    }
  }
  return n;
}

// One recvmsg into a byte, with no room for descriptors, retried on
// EINTR; *msg_flags gets the message's flags.
ssize_t receive_byte(int fd, int flags, int* msg_flags) {
  char byte;
  iovec iov{&byte, 1};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t n;
  do
    n = recvmsg(fd, &msg, flags);
  while (n < 0 && errno == EINTR);
  *msg_flags = msg.msg_flags;
  return n;
}

}  // namespace

bool send_message(int fd, const void* data, size_t size, int pass_fd) {
  iovec iov{const_cast<void*>(data), size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (pass_fd >= 0) {
    std::memset(control, 0, sizeof control);
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &pass_fd, sizeof(int));
  }
  ssize_t n;
  do
    n = sendmsg(fd, &msg, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}

ssize_t receive_message(int fd, void* data, size_t size, UniqueFd* passed,
                        bool* truncated) {
  std::vector<UniqueFd> fds;
  int flags = 0;
  ssize_t n = receive(fd, data, size, 0, kMaxPassedFds, &fds, &flags);
  *truncated = (flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
  if (passed)
    *passed = fds.empty() || n < 0 ? UniqueFd() : std::move(fds.front());
  return n;  // any other passed fds close with `fds`
}

ssize_t receive_plain_message(int fd, void* data, size_t size,
                              bool* truncated) {
  // A peek with no room for descriptors installs none: the kernel only
  // says (MSG_CTRUNC) that the message carries some, and the queue keeps
  // its references.
  int flags = 0;
  ssize_t n = receive_byte(fd, MSG_PEEK | MSG_DONTWAIT, &flags);
  if (n <= 0)
    return n;
  if (flags & MSG_CTRUNC) {
    errno = EBADMSG;
    return -1;
  }
  // The head of the queue stays this message: only this process reads it.
  iovec iov{data, size};
  msghdr plain{};
  plain.msg_iov = &iov;
  plain.msg_iovlen = 1;
  do
    n = recvmsg(fd, &plain, MSG_DONTWAIT | MSG_TRUNC);
  while (n < 0 && errno == EINTR);
  *truncated = n >= 0 && (plain.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
  return n;
}

ssize_t peek_message(int fd, void* data, size_t size,
                     std::vector<UniqueFd>* fds, bool* more) {
  int flags = 0;
  ssize_t n = receive(fd, data, size, MSG_PEEK | MSG_DONTWAIT, kMaxPassedFds,
                      fds, &flags);
  // MSG_CTRUNC: more descriptors than fit, or none could be installed.
  *more = (flags & MSG_CTRUNC) != 0;
  return n;
}

bool discard_message(int fd) {
  // No room for descriptors: the kernel drops its references to them.
  int flags = 0;
  return receive_byte(fd, MSG_DONTWAIT, &flags) >= 0;
}

bool take_message(int fd, std::vector<UniqueFd>* fds) {
  char byte;
  int flags = 0;
  return receive(fd, &byte, 1, MSG_DONTWAIT, kMostPerMessage, fds, &flags) >
         0;
}

}  // namespace elevmod
