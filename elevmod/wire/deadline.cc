#include "wire/deadline.h"

#include <poll.h>
#include <time.h>

#include <cerrno>

namespace elevmod {

int64_t monotonic_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

int wait_ready(int fd, short events, int64_t until_ms, const sigset_t* mask) {
  for (;;) {
    int64_t left = until_ms - monotonic_ms();
    if (left <= 0)
      return ETIMEDOUT;
    pollfd p{fd, events, 0};
    timespec timeout{static_cast<time_t>(left / 1000),
                     static_cast<long>(left % 1000) * 1000000L};
    int n = ppoll(fd < 0 ? nullptr : &p, fd < 0 ? 0 : 1, &timeout, mask);
    if (n > 0)
      return 0;
    if (n < 0 && errno == EINTR && mask)
      return EINTR;
  }
}

}  // namespace elevmod
