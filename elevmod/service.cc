#include "service.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log.h"

namespace elevmod {

namespace {

// Beyond this many open client connections, the oldest is dropped to make
// room, so that no number of idle connections locks a good client out.
constexpr size_t kMaxClients = 256;
// A client has this long to send its request once it is accepted.
constexpr int64_t kClientIdleMs = 1000;
// At most this many tracers at once.
constexpr size_t kMaxTracers = 64;
// Descriptors kept free of listeners: clients, tracers, the loop's own.
constexpr size_t kReservedFds = kMaxClients + kMaxTracers + 64;
// Events that may wait for one tracer; beyond them it loses events.
constexpr size_t kTraceBacklog = 65536;
// How often the loop sends the tracers what waits for them.
constexpr long kFlushNs = 50 * 1000000L;
// How long unload waits for tracers to take what is left for them.
constexpr int64_t kFinalFlushMs = 2000;
// How long unload waits at most for tracers that keep taking what is left.
constexpr int64_t kFinalFlushCapMs = 8000;
// How long a tracer that fell behind at unload has to take the count of
// what it lost.
constexpr int64_t kFinalLostMs = 500;
// Events in one message to a tracer.
constexpr size_t kEventsPerMessage = 64;

int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

int64_t wall_ns() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The caller's command name for the trace.  Each listener thread serves
// one process tree, whose calls mostly come from one process, so the last
// name read is kept.
void name_caller(uint32_t pid, char (&comm)[16]) {
  thread_local uint32_t cached_pid = 0;
  thread_local char cached[16] = "?";
  if (pid != cached_pid) {
    cached_pid = pid;
    std::memset(cached, 0, sizeof cached);
    std::string path = "/proc/" + std::to_string(pid) + "/comm";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, cached, sizeof cached - 1) : -1;
    if (fd >= 0)
      close(fd);
    if (n > 0 && cached[n - 1] == '\n')
      cached[n - 1] = '\0';
    if (n <= 0)
      std::strcpy(cached, "?");
  }
  std::memcpy(comm, cached, sizeof comm);
}

sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&set, sig);
  return set;
}

}  // namespace

Service::Service(std::string socket_path, ServiceOptions options)
    : path_(std::move(socket_path)),
      options_(options),
      elevator_(options.config),
      attachments_([this](int listener, Notifier& notifier,
                          const Notification& note) {
        answer_call(listener, notifier, note);
      }) {}

Service::~Service() {
  attachments_.stop_all();
  for (auto& [fd, client] : clients_)
    close(fd);
  for (auto& [fd, tracer] : tracers_)
    close(fd);
  for (int fd : {epoll_fd_, timer_fd_, signal_fd_, flush_fd_})
    if (fd >= 0)
      close(fd);
  unlisten_socket(path_, &listening_);
}

bool Service::prepare(bool* busy, std::string* err) {
  Notifier probe;
  if (!probe.usable(err))
    return false;
  // Blocked from here on, so that a signal sent before the loop reads them
  // still ends the service cleanly.  The listener threads inherit the mask.
  sigset_t signals = ending_signals();
  sigaddset(&signals, SIGUSR1);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Under socket activation the socket is systemd's: it stays in place when
  // the service ends, and systemd sees to it that one service holds it.
  listening_.fd = activated_socket(err);
  if (listening_.fd >= 0)
    return true;
  if (!err->empty())
    return false;
  return listen_socket(path_, &listening_, busy, err);
}

bool Service::set_up(std::string* err) {
  // A signalfd watched through epoll is woken by the signals of the process
  // that registered it, so this happens in the serving process.
  sigset_t signals = ending_signals();
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  signal_fd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  flush_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (epoll_fd_ < 0 || timer_fd_ < 0 || signal_fd_ < 0 || flush_fd_ < 0) {
    *err = std::string("cannot set up the event loop: ") +
           std::strerror(errno);
    return false;
  }
  if (!watch(listening_.fd, Kind::socket) || !watch(timer_fd_, Kind::timer) ||
      !watch(signal_fd_, Kind::signal) || !watch(flush_fd_, Kind::flush)) {
    *err = std::string("epoll_ctl: ") + std::strerror(errno);
    return false;
  }
  raise_descriptor_limit();
  return true;
}

void Service::raise_descriptor_limit() {
  // Each attached process tree holds one of our descriptors.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  getrlimit(RLIMIT_NOFILE, &limit);
  size_t room = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : limit.rlim_cur;
  attachments_.set_limit(room > kReservedFds ? room - kReservedFds : 0);
}

int Service::run() {
  std::string err;
  if (!set_up(&err)) {
    warn("%s", err.c_str());
    shut_down();
    return 1;
  }
  epoll_event events[64];
  while (!done_) {
    int n = epoll_wait(epoll_fd_, events, 64, next_timeout());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      warn("epoll_wait: %s", std::strerror(errno));
      shut_down();
      return 1;
    }
    for (int i = 0; i < n && !done_; ++i) {
      auto kind = static_cast<Kind>(events[i].data.u64 >> 32);
      int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
      switch (kind) {
        case Kind::socket: accept_clients(); break;
        case Kind::client: serve_client(fd); break;
        case Kind::timer: tick(); break;
        case Kind::signal: shut_down(); break;
        case Kind::tracer: drop_tracer(fd); break;
        case Kind::flush: flush_tracers(); break;
      }
    }
    expire_clients();
  }
  return 0;
}

bool Service::watch(int fd, Kind kind) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = (static_cast<uint64_t>(kind) << 32) |
                   static_cast<uint32_t>(fd);
  return epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) == 0;
}

void Service::drop_client(int fd) {
  clients_.erase(fd);
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
}

void Service::accept_clients() {
  for (;;) {
    int fd = accept4(listening_.fd, nullptr, nullptr,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
        warn("accept on %s: %s", path_.c_str(), std::strerror(errno));
      return;
    }
    // The oldest connections are those that have sent nothing for longest;
    // a good client sends its request as soon as it is connected.
    while (clients_.size() >= kMaxClients && !deadlines_.empty()) {
      Deadline oldest = deadlines_.front();
      deadlines_.pop_front();
      if (waiting(oldest))
        drop_client(oldest.fd);
    }
    if (!watch(fd, Kind::client)) {
      close(fd);
      continue;
    }
    ucred peer{};
    socklen_t len = sizeof peer;
    bool allowed = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 &&
                   (peer.uid == geteuid() || peer.uid == 0);
    if (!allowed)
      warn("refused a client of user %u (pid %d): not this service's user",
           peer.uid, peer.pid);
    uint64_t serial = next_serial_++;
    clients_[fd] = Client{allowed, serial};
    deadlines_.push_back({now_ms() + kClientIdleMs, fd, serial});
  }
}

bool Service::waiting(const Deadline& deadline) const {
  auto it = clients_.find(deadline.fd);
  return it != clients_.end() && it->second.serial == deadline.serial;
}

void Service::expire_clients() {
  // Drops the clients whose time is up, and the entries of clients already
  // served, which would otherwise pile up behind an idle one.
  int64_t now = now_ms();
  while (!deadlines_.empty()) {
    Deadline front = deadlines_.front();
    bool live = waiting(front);
    if (live && front.at_ms > now)
      break;
    deadlines_.pop_front();
    if (live)
      drop_client(front.fd);
  }
}

int Service::next_timeout() {
  if (deadlines_.empty())
    return -1;
  int64_t wait = deadlines_.front().at_ms - now_ms();
  return wait < 0 ? 0 : static_cast<int>(wait) + 1;
}

void Service::serve_client(int fd) {
  auto it = clients_.find(fd);
  if (it == clients_.end())
    return;
  bool allowed = it->second.allowed;
  Request request;
  int passed = -1;
  bool truncated = false;
  ssize_t n = receive_message(fd, &request, sizeof request, &passed,
                              &truncated);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    if (passed >= 0)
      close(passed);
    return;
  }
  Reply reply;
  bool answer = true;
  if (n <= 0) {
    answer = false;  // EOF or a broken connection: nothing to say
  } else if (!allowed) {
    reply.error = EPERM;
  } else if (n != sizeof request || truncated || request.magic != kMagic) {
    warn("ignored a malformed request of %zd bytes", n);
    reply.error = EPROTO;
  } else if (request.verb == Verb::attach) {
    if (passed < 0 || !is_seccomp_listener(passed)) {
      warn("refused an attach without a seccomp listener");
      reply.error = EINVAL;
    } else {
      attach(passed, &reply);
      passed = -1;
    }
  } else if (request.verb == Verb::status) {
    reply.snapshot = snapshot();
  } else if (request.verb == Verb::trace) {
    add_tracer(fd, &reply);
    if (reply.error == 0)
      return;  // the connection is a tracer's now
  } else if (request.verb == Verb::unload) {
    // Detach everyone before saying so: once unload returns, the three calls
    // fail for every attached process, and the figures are final.
    shut_down();
    reply.snapshot = snapshot();
  } else {
    warn("ignored a request with unknown verb %u",
         static_cast<uint32_t>(request.verb));
    reply.error = EPROTO;
  }
  if (passed >= 0)
    close(passed);
  if (answer) {
    // Non-blocking: a client that never reads cannot hold the loop.
    send(fd, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  drop_client(fd);
}

void Service::attach(int fd, Reply* reply) {
  int rc = attachments_.add(fd);
  if (rc == EEXIST) {
    warn("refused a listener that is attached already");
  } else if (rc == EMFILE && !warned_full_) {
    warned_full_ = true;
    warn("descriptor limit reached with %zu processes attached: refusing "
         "further attaches (raise the hard limit, ulimit -Hn)",
         attachments_.count());
  } else if (rc != 0 && rc != EMFILE) {
    warn("cannot serve a listener: %s", std::strerror(rc));
  }
  reply->error = rc;
}

void Service::answer_call(int listener, Notifier& notifier,
                          const Notification& note) {
  if (!note.ours) {
    notifier.respond(listener, note.id, 0, ENOSYS);
    return;
  }
  bool tracing = tracing_.load(std::memory_order_relaxed);
  TraceEvent event;
  if (tracing) {
    event.pid = static_cast<int32_t>(note.pid);
    event.call = note.call;
    name_caller(note.pid, event.comm);
  }
  // The answer, its delivery and the commit happen under one lock, so two
  // calls never both get an answer that only one of them can have.
  std::lock_guard lock(model_mutex_);
  elevator_.note_arrival(note.call.nr);
  int result = elevator_.answer(note.call);
  // Commit only what the caller was told; a lost answer (ENOENT: the
  // caller died or was interrupted and may ask again) changes nothing.
  bool delivered = notifier.respond(listener, note.id, result, 0) == 0;
  if (delivered) {
    car_events_.clear();
    elevator_.commit(note.call, tracing ? &car_events_ : nullptr);
    sync_timer();
  }
  if (tracing) {
    event.time_ns = wall_ns();
    event.result = result;
    event.delivered = delivered;
    record(event);
    if (delivered)
      record_car(car_events_);
  }
}

void Service::tick() {
  uint64_t expirations = 0;
  if (read(timer_fd_, &expirations, sizeof expirations) !=
      sizeof expirations)
    return;
  // A loop held up for a while catches up, but not without bound.
  if (expirations > 1000)
    expirations = 1000;
  std::lock_guard lock(model_mutex_);
  bool tracing = !tracers_.empty();
  car_events_.clear();
  for (uint64_t i = 0; i < expirations && elevator_.running(); ++i)
    elevator_.step(tracing ? &car_events_ : nullptr);
  sync_timer();
  record_car(car_events_);
}

void Service::sync_timer() {
  bool want = elevator_.running();
  if (want == timer_armed_ || timer_fd_ < 0)
    return;
  itimerspec setting{};
  if (want) {
    timespec step{options_.step_ms / 1000,
                  static_cast<long>(options_.step_ms % 1000) * 1000000L};
    setting.it_value = step;
    setting.it_interval = step;
  }
  if (timerfd_settime(timer_fd_, 0, &setting, nullptr) == 0)
    timer_armed_ = want;
}

Snapshot Service::snapshot() {
  Snapshot s;
  {
    std::lock_guard lock(model_mutex_);
    s = elevator_.snapshot();
  }
  s.listeners = static_cast<uint32_t>(attachments_.count());
  s.tracers = static_cast<uint32_t>(tracers_.size());
  return s;
}

void Service::add_tracer(int fd, Reply* reply) {
  if (tracers_.size() >= kMaxTracers) {
    warn("refused a tracer: %zu are tracing already", tracers_.size());
    reply->error = EBUSY;
    return;
  }
  reply->snapshot = snapshot();
  if (send(fd, reply, sizeof *reply, MSG_DONTWAIT | MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof *reply)) {
    reply->error = EPIPE;
    return;
  }
  // From here on the connection is only written to; anything it says, or
  // its hang-up, ends it.
  clients_.erase(fd);
  epoll_event watch_event{};
  watch_event.events = EPOLLIN | EPOLLRDHUP;
  watch_event.data.u64 = (static_cast<uint64_t>(Kind::tracer) << 32) |
                         static_cast<uint32_t>(fd);
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &watch_event);
  int room = 0;
  socklen_t len = sizeof room;
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, &len) != 0)
    room = 0;
  {
    std::lock_guard lock(model_mutex_);
    tracers_[fd].room = static_cast<size_t>(room);
    tracing_ = true;
  }
  if (tracers_.size() == 1) {
    itimerspec every{{0, kFlushNs}, {0, kFlushNs}};
    timerfd_settime(flush_fd_, 0, &every, nullptr);
  }
}

void Service::record(const TraceEvent& event) {
  for (auto& [fd, tracer] : tracers_) {
    if (tracer.pending.size() < kTraceBacklog)
      tracer.pending.push_back(event);
    else
      ++tracer.lost;
  }
}

void Service::record_car(const std::vector<CarEvent>& events) {
  if (events.empty() || tracers_.empty())
    return;
  TraceEvent event;
  event.kind = TraceEvent::Kind::car;
  event.time_ns = wall_ns();
  for (const CarEvent& car : events) {
    event.car = car;
    record(event);
  }
}

void Service::flush_tracers() {
  uint64_t expirations;
  if (read(flush_fd_, &expirations, sizeof expirations) < 0) {
    // Flushing without a tick (at the end) is fine too.
  }
  std::vector<int> broken;
  for (auto& [fd, tracer] : tracers_) {
    if (tracer.sent == tracer.unsent.size()) {
      tracer.unsent.clear();
      tracer.sent = 0;
      std::lock_guard lock(model_mutex_);
      tracer.unsent.swap(tracer.pending);
      if (tracer.lost > 0) {
        TraceEvent lost;
        lost.kind = TraceEvent::Kind::lost;
        lost.time_ns = wall_ns();
        lost.lost = tracer.lost;
        tracer.unsent.push_back(lost);
        tracer.lost = 0;
      }
    }
    if (!send_unsent(fd, tracer))
      broken.push_back(fd);
  }
  for (int fd : broken)
    drop_tracer(fd);
}

bool Service::send_unsent(int fd, Tracer& tracer) {
  while (tracer.sent < tracer.unsent.size()) {
    size_t count =
        std::min(kEventsPerMessage, tracer.unsent.size() - tracer.sent);
    size_t bytes = count * sizeof(TraceEvent);
    // The kernel takes a message while what is queued is below the send
    // buffer.  Events stop short of it, so that the count of what a tracer
    // lost always finds room, however far behind the tracer is.
    bool last = tracer.unsent[tracer.sent + count - 1].kind ==
                TraceEvent::Kind::lost;
    int queued = 0;
    if (!last && tracer.room > 0 && ioctl(fd, SIOCOUTQ, &queued) == 0 &&
        static_cast<size_t>(queued) + 2 * bytes + 4096 >= tracer.room)
      return true;  // the rest waits for the next flush
    ssize_t n = send(fd, &tracer.unsent[tracer.sent], bytes,
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0)
      return errno == EAGAIN;
    tracer.sent += count;
  }
  return true;
}

size_t Service::unsent_events() const {
  size_t count = 0;
  for (const auto& [fd, tracer] : tracers_)
    count += tracer.unsent.size() - tracer.sent + tracer.pending.size() +
             (tracer.lost > 0);
  return count;
}

bool Service::poll_tracers_behind(int64_t timeout_ms) {
  std::vector<pollfd> behind;
  for (auto& [fd, tracer] : tracers_)
    if (tracer.sent < tracer.unsent.size() || !tracer.pending.empty() ||
        tracer.lost > 0)
      behind.push_back({fd, POLLOUT, 0});
  if (behind.empty() || timeout_ms <= 0)
    return false;
  poll(behind.data(), behind.size(), static_cast<int>(timeout_ms));
  return true;
}

void Service::drop_tracer(int fd) {
  {
    std::lock_guard lock(model_mutex_);
    tracers_.erase(fd);
    tracing_ = !tracers_.empty();
  }
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
  if (tracers_.empty()) {
    itimerspec off{};
    timerfd_settime(flush_fd_, 0, &off, nullptr);
  }
}

void Service::shut_down() {
  if (done_)
    return;
  done_ = true;
  attachments_.stop_all();
  unlisten_socket(path_, &listening_);
  // Tracers get what is left, and the count of what they lost.  One that
  // keeps taking it gets it all, within a bound; one that stops taking it
  // (a stopped tracer) holds unload up only so long, and what it did not
  // take counts as lost, which it is told if it still has room for that.
  int64_t start = now_ms();
  int64_t progress = start;
  for (;;) {
    size_t before = unsent_events();
    flush_tracers();
    int64_t now = now_ms();
    if (unsent_events() < before)
      progress = now;
    int64_t left = std::min(progress + kFinalFlushMs, start + kFinalFlushCapMs) -
                   now;
    if (!poll_tracers_behind(left))
      break;
  }
  for (auto& [fd, tracer] : tracers_) {
    uint64_t missed = tracer.pending.size() + tracer.lost;
    for (size_t i = tracer.sent; i < tracer.unsent.size(); ++i)
      missed += tracer.unsent[i].kind == TraceEvent::Kind::lost
                    ? tracer.unsent[i].lost
                    : 1;
    tracer.unsent.clear();
    tracer.pending.clear();
    tracer.sent = 0;
    tracer.lost = missed;
  }
  int64_t told_by = now_ms() + kFinalLostMs;
  for (;;) {
    flush_tracers();
    if (!poll_tracers_behind(told_by - now_ms()))
      break;
  }
  while (!tracers_.empty())
    drop_tracer(tracers_.begin()->first);
}

}  // namespace elevmod
