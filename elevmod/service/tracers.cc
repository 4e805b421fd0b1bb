#include "service/tracers.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "service/clock.h"
#include "service/log.h"
#include "wire/errors.h"

namespace elevmod {

namespace {

// How often the loop sends the tracers what waits for them.
constexpr long kFlushNs = 50 * 1000000L;
// How long unload waits for tracers to take what is left for them.
constexpr int64_t kFinalFlushMs = 2000;
// How long unload waits at most for tracers that keep taking what is left.
constexpr int64_t kFinalFlushCapMs = 8000;
// How long a tracer that fell behind at unload has to take the count of
// what it lost.
constexpr int64_t kFinalLostMs = 500;
// The send buffer asked for a tracer's connection (the kernel doubles it).
constexpr int kTracerBuffer = 16 * 1024;
// Events in one message to a tracer.
constexpr size_t kEventsPerMessage = 64;

}  // namespace

Tracers::Tracers(SharedElevator& elevator, EventLoop& loop,
                 Releaser& releaser)
    : elevator_(elevator),
      loop_(loop),
      releaser_(releaser) {}

bool Tracers::set_up() {
  flush_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  return static_cast<bool>(flush_);
}

void Tracers::add(uint64_t id, UniqueFd fd) {
  // From here on the connection is only written to; anything it says, or
  // its hang-up, ends it.
  if (!loop_.change(fd.get(), id, EPOLLIN | EPOLLRDHUP)) {
    loop_.forget(fd.get());
    releaser_.release_connection(std::move(fd));
    return;
  }
  Tracer& tracer = tracers_[id];
  tracer.progress_ms = monotonic_ms();
  // A small buffer keeps what a stopped tracer holds in the kernel small;
  // one that reads is sent more as soon as it has room (watch()).
  int buffer = kTracerBuffer;
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  int room = 0;
  socklen_t len = sizeof room;
  if (getsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &room, &len) == 0)
    tracer.room = static_cast<size_t>(room);
  tracer.fd = std::move(fd);
  elevator_.add_tracer(id);
  if (tracers_.size() == 1) {
    itimerspec every{{0, kFlushNs}, {0, kFlushNs}};
    if (timerfd_settime(flush_.get(), 0, &every, nullptr) != 0)
      warn("cannot start the tracers' timer: %s; they get events only as "
           "their connections take them", errno_text(errno).c_str());
  }
}

void Tracers::on_event(uint64_t id, uint32_t events) {
  auto it = tracers_.find(id);
  if (it == tracers_.end())
    return;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
    drop(id);
  else if (!send_to(id, it->second, final_))
    drop(id);
  else
    watch(id, it->second);
}

void Tracers::flush() {
  uint64_t expirations;
  if (read(flush_.get(), &expirations, sizeof expirations) < 0) {
    // Flushing without a tick (at the end) is fine too.
  }
  std::vector<uint64_t> broken;
  for (auto& [id, tracer] : tracers_) {
    if (!send_to(id, tracer, final_))
      broken.push_back(id);
    else
      watch(id, tracer);
  }
  for (uint64_t id : broken)
    drop(id);
}

bool Tracers::evict_stalest(int64_t now_ms, int64_t stale_ms) {
  auto stalest = tracers_.end();
  for (auto it = tracers_.begin(); it != tracers_.end(); ++it)
    if (stalest == tracers_.end() ||
        it->second.progress_ms < stalest->second.progress_ms)
      stalest = it;
  if (stalest == tracers_.end() ||
      now_ms - stalest->second.progress_ms < stale_ms)
    return false;
  elevator_.give_up_trace(stalest->first);
  // What it lost, then why it ends; room for both is always kept.
  if (send_to(stalest->first, stalest->second, true)) {
    TraceEvent ended;
    ended.kind = TraceEvent::Kind::ended;
    ended.time_ns = elevator_.now_ns();
    send(stalest->second.fd.get(), &ended, sizeof ended,
         MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  drop(stalest->first);
  return true;
}

bool Tracers::send_to(uint64_t id, Tracer& tracer, bool final) {
  constexpr size_t kMessageBytes = kEventsPerMessage * sizeof(TraceEvent);
  for (;;) {
    // The kernel takes a message while what is queued is below the send
    // buffer.  Events stop short of it, so that at unload the count of what
    // a tracer lost always finds room, however far behind the tracer is.
    // Until then one that is that far behind is not even looked at.
    int queued = 0;
    bool known = ioctl(tracer.fd.get(), SIOCOUTQ, &queued) == 0;
    // Less is queued than we left there: it has read some, however slowly.
    if (known && (queued == 0 ||
                  static_cast<size_t>(queued) < tracer.queued)) {
      tracer.progress_ms = monotonic_ms();
    }
    if (known)
      tracer.queued = static_cast<size_t>(queued);
    bool full = tracer.room > 0 && known &&
                static_cast<size_t>(queued) + 2 * kMessageBytes + 4096 >=
                    tracer.room;
    if (full && !final)
      return true;  // the rest waits until it has room
    uint64_t first;
    elevator_.peek_trace(id, full ? 1 : kEventsPerMessage, &batch_, &first);
    if (batch_.empty())
      return true;
    bool lost_first = batch_.front().kind == TraceEvent::Kind::lost;
    if (full && !lost_first)
      return true;
    ssize_t n = send(tracer.fd.get(), batch_.data(),
                     batch_.size() * sizeof(TraceEvent),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0)
      return errno == EAGAIN;  // full: the rest waits until it has room
    tracer.queued += static_cast<size_t>(n);
    elevator_.consume_trace(id, first + batch_.size() - (lost_first ? 1 : 0));
  }
}

void Tracers::watch(uint64_t id, Tracer& tracer) {
  bool behind = elevator_.trace_waiting(id) > 0;
  if (behind == tracer.behind)
    return;
  if (loop_.change(tracer.fd.get(), id,
                   EPOLLIN | EPOLLRDHUP | (behind ? EPOLLOUT : 0u)))
    tracer.behind = behind;
}

void Tracers::drop(uint64_t id) {
  auto it = tracers_.find(id);
  if (it == tracers_.end())
    return;
  loop_.forget(it->second.fd.get());
  // What a tracer sent may sit in its connection's queue: closing it is a
  // release of the peer's, done off the loop.
  releaser_.release_connection(std::move(it->second.fd));
  tracers_.erase(it);
  elevator_.remove_tracer(id);
  if (tracers_.empty()) {
    itimerspec off{};
    timerfd_settime(flush_.get(), 0, &off, nullptr);
  }
}

uint64_t Tracers::events_waiting() {
  std::vector<uint64_t> ids;
  for (auto& [id, tracer] : tracers_)
    ids.push_back(id);
  return elevator_.trace_waiting(ids);
}

bool Tracers::poll_behind(int64_t timeout_ms) {
  std::vector<pollfd> behind;
  for (auto& [id, tracer] : tracers_)
    if (elevator_.trace_waiting(id) > 0)
      behind.push_back({tracer.fd.get(), POLLOUT, 0});
  if (behind.empty() || timeout_ms <= 0)
    return false;
  poll(behind.data(), behind.size(), static_cast<int>(timeout_ms));
  return true;
}

void Tracers::finish() {
  // Tracers get what is left, and the count of what they lost.  One that
  // keeps taking it gets it all, within a bound; one that stops taking it
  // (a stopped tracer) holds unload up only so long, and what it did not
  // take counts as lost, which it is told: room for that is always kept.
  int64_t start = monotonic_ms();
  int64_t progress = start;
  for (;;) {
    uint64_t before = events_waiting();
    flush();
    int64_t now = monotonic_ms();
    if (events_waiting() < before)
      progress = now;
    int64_t left =
        std::min(progress + kFinalFlushMs, start + kFinalFlushCapMs) - now;
    if (!poll_behind(left))
      break;
  }
  for (auto& [id, tracer] : tracers_)
    elevator_.give_up_trace(id);
  final_ = true;
  int64_t told_by = monotonic_ms() + kFinalLostMs;
  for (;;) {
    flush();
    if (!poll_behind(told_by - monotonic_ms()))
      break;
  }
  while (!tracers_.empty())
    drop(tracers_.begin()->first);
}

}  // namespace elevmod
