// The service's one epoll instance: every registration of the service's
// descriptors goes through here.  Events are tagged by a number (the
// service's own descriptors, or a connection's serial), never by a
// descriptor, whose number may be reused.
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <string>

#include "wire/unique_fd.h"

namespace elevmod {

class EventLoop {
 public:
  // False with *err set when there is no epoll instance to be had.
  bool set_up(std::string* err);

  // Watches `fd` for `events` (EPOLLIN, ...), reported with `tag`.
  bool watch(int fd, uint64_t tag, uint32_t events = EPOLLIN);
  // Changes what `fd` is watched for.
  bool change(int fd, uint64_t tag, uint32_t events);
  // Stops watching `fd` (before it is closed or handed on).
  void forget(int fd);

  // Waits up to `timeout_ms` (-1: for ever) for events; as epoll_wait().
  int wait(epoll_event* events, int max, int timeout_ms);

 private:
  UniqueFd epoll_;
};

}  // namespace elevmod
