#include "service/event_loop.h"

#include <cerrno>

#include "wire/errors.h"

namespace elevmod {

bool EventLoop::set_up(std::string* err) {
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_)
    *err = "epoll_create1: " + errno_text(errno);
  return static_cast<bool>(epoll_);
}

bool EventLoop::watch(int fd, uint64_t tag, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = tag;
  return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

bool EventLoop::change(int fd, uint64_t tag, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = tag;
  return epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0;
}

void EventLoop::forget(int fd) {
  // ENOENT: it was not watched (a paused socket); nothing to undo.
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

int EventLoop::wait(epoll_event* events, int max, int timeout_ms) {
  return epoll_wait(epoll_.get(), events, max, timeout_ms);
}

}  // namespace elevmod
