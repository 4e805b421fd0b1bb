#include "service/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "service/clock.h"
#include "service/disposal.h"
#include "service/log.h"

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
// Events that may wait for the slowest tracer; beyond them it loses events.
constexpr size_t kTraceBacklog = 65536;
// How long the socket rests after accept() found no descriptor free.
constexpr int64_t kAcceptBackoffMs = 100;

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
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ssize_t n = fd ? read(fd.get(), cached, sizeof cached - 1) : -1;
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
      hub_(kTraceBacklog),
      clients_(kMaxClients, kClientIdleMs),
      tracers_(model_mutex_, hub_, tracing_),
      attachments_([this](int listener, Notifier& notifier,
                          const Notification& note) {
        answer_call(listener, notifier, note);
      }) {
  clients_.set_first_serial(kFirstSerial);
}

Service::~Service() {
  attachments_.stop_all();
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
  listening_.fd.reset(activated_socket(err));
  if (listening_.fd)
    return true;
  if (!err->empty())
    return false;
  return listen_socket(path_, &listening_, busy, err);
}

bool Service::set_up(std::string* err) {
  // A signalfd watched through epoll is woken by the signals of the process
  // that registered it, so this happens in the serving process.
  sigset_t signals = ending_signals();
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  timer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  signal_.reset(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!epoll_ || !timer_ || !signal_ || !tracers_.set_up(epoll_.get())) {
    *err = std::string("cannot set up the event loop: ") +
           std::strerror(errno);
    return false;
  }
  if (!watch(listening_.fd.get(), kSocketTag) || !watch(timer_.get(), kTimerTag) ||
      !watch(signal_.get(), kSignalTag) ||
      !watch(tracers_.flush_fd(), kFlushTag)) {
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
    int n = epoll_wait(epoll_.get(), events, 64, next_timeout());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      warn("epoll_wait: %s", std::strerror(errno));
      shut_down();
      return 1;
    }
    for (int i = 0; i < n && !done_; ++i)
      on_event(events[i].data.u64, events[i].events);
    if (!done_ && accept_resumes_ms_ != 0 && monotonic_ms() >= accept_resumes_ms_) {
      accept_resumes_ms_ = 0;
      watch(listening_.fd.get(), kSocketTag);
    }
    expire_clients();
  }
  return 0;
}

bool Service::watch(int fd, uint64_t tag) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = tag;
  return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void Service::on_event(uint64_t tag, uint32_t events) {
  switch (tag) {
    case kSocketTag: accept_clients(); return;
    case kTimerTag: tick(); return;
    case kSignalTag: shut_down(); return;
    case kFlushTag: tracers_.flush(); return;
    default: break;
  }
  if (clients_.find(tag)) {
    serve_client(tag);
  } else if (tracers_.has(tag)) {
    tracers_.on_event(tag, events);
  }
  // Otherwise the event was for a connection that has gone since.
}

void Service::drop_client(uint64_t serial) {
  UniqueFd fd = clients_.remove(serial);
  if (fd)
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd.get(), nullptr);
}

void Service::make_room() {
  // The oldest connections have had longest to send.  One whose request is
  // there already is served, not dropped: only those that have sent
  // nothing make room.
  for (uint64_t serial : clients_.oldest_first()) {
    if (!clients_.full())
      return;
    ConnectionTable::Client* client = clients_.find(serial);
    if (!client)
      continue;
    pollfd p{client->fd.get(), POLLIN, 0};
    if (poll(&p, 1, 0) > 0)
      serve_client(serial);
    else
      drop_client(serial);
  }
}

void Service::accept_clients() {
  for (;;) {
    UniqueFd fd(accept4(listening_.fd.get(), nullptr, nullptr,
                        SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
      if (errno == EMFILE || errno == ENFILE) {
        // Out of descriptors: the connection waits in the backlog.  The
        // socket rests a while (else the loop would spin on it) and the
        // oldest idle connection makes room.
        warn("accept on %s: %s: pausing new connections", path_.c_str(),
             std::strerror(errno));
        std::vector<uint64_t> oldest = clients_.oldest_first();
        if (!oldest.empty())
          drop_client(oldest.front());
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listening_.fd.get(), nullptr);
        accept_resumes_ms_ = monotonic_ms() + kAcceptBackoffMs;
      } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        warn("accept on %s: %s", path_.c_str(), std::strerror(errno));
      }
      return;
    }
    if (clients_.full())
      make_room();
    if (done_)
      return;  // one of those it served was an unload
    ucred peer{};
    socklen_t len = sizeof peer;
    bool allowed = getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 &&
                   uid_is_trusted(peer.uid);
    if (!allowed)
      warn("refused a client of user %u (pid %d): not this service's user",
           peer.uid, peer.pid);
    int raw = fd.get();
    uint64_t serial = clients_.add(std::move(fd), allowed, monotonic_ms());
    if (!watch(raw, serial))
      drop_client(serial);
  }
}

void Service::expire_clients() {
  for (uint64_t serial : clients_.expired(monotonic_ms()))
    drop_client(serial);
}

int Service::next_timeout() {
  int64_t now = monotonic_ms();
  int wait = clients_.next_timeout_ms(now);
  if (accept_resumes_ms_ != 0) {
    int resume = static_cast<int>(std::max<int64_t>(0, accept_resumes_ms_ - now));
    wait = wait < 0 ? resume : std::min(wait, resume);
  }
  return wait;
}

void Service::serve_client(uint64_t serial) {
  ConnectionTable::Client* client = clients_.find(serial);
  if (!client)
    return;
  bool allowed = client->allowed;
  int fd = client->fd.get();
  Request request;
  std::vector<UniqueFd> passed;
  bool truncated = false, fds_lost = false;
  ssize_t n = receive_with_fds(fd, &request, sizeof request, &passed,
                               &truncated, &fds_lost);
  // Whatever descriptors came and are not kept are closed off the loop.
  auto dispose_all = [&passed] {
    for (UniqueFd& unused : passed)
      dispose(std::move(unused));
    passed.clear();
  };
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    dispose_all();
    return;
  }
  Reply reply;
  bool answer = true;
  bool well_formed = n == sizeof request && request.magic == kMagic;
  if (n <= 0) {
    answer = false;  // EOF or a broken connection: nothing to say
  } else if (!allowed) {
    reply.error = EPERM;
  } else if (!well_formed) {
    warn("ignored a malformed request of %zd bytes", n);
    reply.error = EPROTO;
  } else if (request.verb == Verb::attach) {
    if (passed.empty() && fds_lost) {
      // The kernel had nowhere to put the listener: our table is full.
      reply.error = EMFILE;
      if (!warned_full_) {
        warned_full_ = true;
        warn("descriptor table full: refusing attaches");
      }
    } else if (passed.size() != 1 || fds_lost ||
               !is_seccomp_listener(passed.front().get())) {
      warn("refused an attach without a seccomp listener");
      reply.error = EINVAL;
    } else {
      attach(std::move(passed.front()), &reply);
    }
  } else if (!passed.empty() || fds_lost) {
    warn("refused a request that carried descriptors");
    reply.error = EINVAL;
  } else if (request.verb == Verb::status) {
    reply.snapshot = snapshot();
  } else if (request.verb == Verb::trace) {
    UniqueFd connection = clients_.remove(serial);
    add_tracer(serial, std::move(connection), &reply);
    return;  // the connection is a tracer's now, or gone
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
  dispose_all();
  if (answer) {
    // Non-blocking: a client that never reads cannot hold the loop.
    send(fd, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  drop_client(serial);
}

void Service::attach(UniqueFd fd, Reply* reply) {
  int rc = attachments_.add(std::move(fd));
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
    hub_.record(event);
    if (delivered)
      record_car(car_events_);
  }
}

void Service::tick() {
  uint64_t expirations = 0;
  if (read(timer_.get(), &expirations, sizeof expirations) !=
      sizeof expirations)
    return;
  // A loop held up for a while catches up, but not without bound.
  if (expirations > 1000)
    expirations = 1000;
  std::lock_guard lock(model_mutex_);
  bool tracing = hub_.count() > 0;
  car_events_.clear();
  for (uint64_t i = 0; i < expirations && elevator_.running(); ++i)
    elevator_.step(tracing ? &car_events_ : nullptr);
  sync_timer();
  record_car(car_events_);
}

void Service::sync_timer() {
  bool want = elevator_.running();
  if (want == timer_armed_ || !timer_)
    return;
  itimerspec setting{};
  if (want) {
    timespec step{options_.step_ms / 1000,
                  static_cast<long>(options_.step_ms % 1000) * 1000000L};
    setting.it_value = step;
    setting.it_interval = step;
  }
  if (timerfd_settime(timer_.get(), 0, &setting, nullptr) == 0)
    timer_armed_ = want;
}

Snapshot Service::snapshot() {
  Snapshot s;
  {
    std::lock_guard lock(model_mutex_);
    s = elevator_.snapshot();
  }
  s.listeners = static_cast<uint32_t>(attachments_.count());
  s.tracers = static_cast<uint32_t>(tracers_.count());
  return s;
}

void Service::add_tracer(uint64_t serial, UniqueFd fd, Reply* reply) {
  if (!fd)
    return;
  if (tracers_.count() >= kMaxTracers) {
    warn("refused a tracer: %zu are tracing already", tracers_.count());
    reply->error = EBUSY;
  } else {
    reply->snapshot = snapshot();
  }
  bool sent = send(fd.get(), reply, sizeof *reply,
                   MSG_DONTWAIT | MSG_NOSIGNAL) ==
              static_cast<ssize_t>(sizeof *reply);
  if (!sent || reply->error != 0) {
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd.get(), nullptr);
    return;
  }
  tracers_.add(serial, std::move(fd));  // same serial, so its tag stays
}

void Service::record_car(const std::vector<CarEvent>& events) {
  if (events.empty() || hub_.count() == 0)
    return;
  TraceEvent event;
  event.kind = TraceEvent::Kind::car;
  event.time_ns = wall_ns();
  for (const CarEvent& car : events) {
    event.car = car;
    hub_.record(event);
  }
}

void Service::shut_down() {
  if (done_)
    return;
  done_ = true;
  attachments_.stop_all();
  unlisten_socket(path_, &listening_);
  tracers_.finish();
}

}  // namespace elevmod
