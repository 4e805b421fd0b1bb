#include "wire/framing.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace elevmod {

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

ssize_t receive_with_fds(int fd, void* data, size_t size,
                         std::vector<UniqueFd>* fds, bool* truncated,
                         bool* fds_lost) {
  fds->clear();
  *truncated = false;
  if (fds_lost)
    *fds_lost = false;
  iovec iov{data, size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do
    n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_TRUNC);
  while (n < 0 && errno == EINTR);
  if (n < 0)
    return -1;
  // MSG_CTRUNC: more descriptors than fit, or none could be installed
  // (this process's table is full); the kernel dropped them.
  *truncated = (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
  if (fds_lost)
    *fds_lost = (msg.msg_flags & MSG_CTRUNC) != 0;
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

ssize_t receive_message(int fd, void* data, size_t size, int* passed_fd,
                        bool* truncated) {
  std::vector<UniqueFd> fds;
  ssize_t n = receive_with_fds(fd, data, size, &fds, truncated, nullptr);
  if (passed_fd)
    *passed_fd = fds.empty() || n < 0 ? -1 : fds.front().release();
  return n;  // any other passed fds close with `fds`
}

}  // namespace elevmod
