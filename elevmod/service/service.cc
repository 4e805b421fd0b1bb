#include "service/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "service/clock.h"
#include "service/descriptor_limit.h"
#include "service/log.h"
#include "wire/errors.h"
#include "wire/framing.h"
#include "wire/notify.h"
#include "wire/service_socket.h"

namespace elevmod {

namespace {

// Beyond this many open client connections, the oldest is dropped to make
// room, so that no number of idle connections locks a good client out.
constexpr size_t kMaxClients = 256;
// A client has this long to send its request once it is accepted.
constexpr int64_t kClientIdleMs = 1000;
// Events that may wait for the slowest tracer; beyond them it loses events.
constexpr size_t kTraceBacklog = 65536;
// What the releaser may hold: while it holds kReleaseBusy descriptors (as
// many closes blocked by peers), new clients are answered that the service
// is busy; from kReleaseFull on, they are still answered so, at once, but
// their connections are kept (with the clients, at most kMaxClients) until
// the releaser has room for them, and beyond that new connections wait in
// the socket's backlog.  Each blocked close has a thread, so quick ones
// never wait behind it.
constexpr size_t kReleaseBusy = 128;
constexpr size_t kReleaseFull = 256;
constexpr size_t kReleaseThreads = kReleaseFull;
// Descriptors kept free of listeners: clients (and kept connections),
// tracers, what waits to be released, a request's, the loop's own.
constexpr size_t kReservedFds =
    kMaxClients + Service::kMaxTracers + kReleaseFull + kMaxPassedFds + 64;
// How long the socket rests when no client can be accepted.
constexpr int64_t kAcceptBackoffMs = 100;
// The loop looks at least this often at what is due (complaints to report,
// a paused socket).
constexpr int kHousekeepingMs = 1000;

// Whether the peer of connection `fd` runs as this service's user or root;
// *peer gets its credentials.
bool peer_trusted(int fd, ucred* peer) {
  socklen_t len = sizeof *peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &len) == 0 &&
         uid_is_trusted(peer->uid);
}

// The signals that end the service cleanly.
sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaddset(&set, sig);
  return set;
}

// Every other signal whose default action would end the process, leaving
// its socket and lock behind, is ignored.  Those of a fault (SIGSEGV, ...),
// the listener threads' wake-up (SIGUSR1) and the C library's own below
// SIGRTMIN keep theirs.
void ignore_other_signals() {
  for (int sig : {SIGPIPE, SIGALRM, SIGUSR2, SIGVTALRM, SIGPROF, SIGIO,
                  SIGPWR, SIGSTKFLT, SIGXCPU, SIGXFSZ})
    signal(sig, SIG_IGN);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
    signal(sig, SIG_IGN);
}

}  // namespace

Service::Service(std::string socket_path, ServiceOptions options)
    : path_(std::move(socket_path)),
      options_(options),
      releaser_(kReleaseThreads),
      elevator_(options.config, options.step_ms, options.speed, kTraceBacklog),
      clients_(kMaxClients, kClientIdleMs),
      tracers_(elevator_, loop_, releaser_),
      attachments_([this](int listener, Notifier& notifier,
                          const Notification& note) {
        elevator_.answer_call(listener, notifier, note);
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
  if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
    *err = "sigprocmask: " + errno_text(errno);
    return false;
  }
  ignore_other_signals();
  // Under socket activation the socket is systemd's: it stays in place when
  // the service ends, and systemd sees to it that one service holds it.
  listening_.fd = activated_socket(err);
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
  signal_.reset(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!signal_ || !spare_) {
    *err = "cannot set up the event loop: " + errno_text(errno);
    return false;
  }
  if (!loop_.set_up(err) || !elevator_.set_up(err))
    return false;
  if (!tracers_.set_up()) {
    *err = "cannot set up the tracers' timer: " + errno_text(errno);
    return false;
  }
  if (!loop_.watch(elevator_.timer_fd(), kTimerTag) ||
      !loop_.watch(signal_.get(), kSignalTag) ||
      !loop_.watch(tracers_.flush_fd(), kFlushTag)) {
    *err = "epoll_ctl: " + errno_text(errno);
    return false;
  }
  // A connection's peer credentials are those of the socket's last
  // listen(): the process that bound it (which may have gone, or be
  // systemd), until the serving process listens again.  Then a client that
  // gets no answer can tell a stopped service from a busy one.
  listen(listening_.fd.get(), kListenBacklog);
  resume_accepting();
  if (!accepting_) {
    *err = "epoll_ctl on " + path_ + ": " + errno_text(errno);
    return false;
  }
  std::string warning;
  attachments_.set_limit(listener_room(kReservedFds, &warning));
  if (!warning.empty())
    warn("%s", warning.c_str());
  return true;
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
    int n = loop_.wait(events, 64, next_timeout());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      warn("epoll_wait: %s", errno_text(errno).c_str());
      shut_down();
      return 1;
    }
    for (int i = 0; i < n && !done_; ++i)
      on_event(events[i].data.u64, events[i].events);
    release_parked(false);
    if (!done_ && !accepting_ && monotonic_ms() >= accept_resumes_ms_)
      resume_accepting();
    expire_clients();
    report_suppressed(false);
  }
  return 0;
}

void Service::on_event(uint64_t tag, uint32_t events) {
  switch (tag) {
    case kSocketTag: accept_clients(); return;
    case kTimerTag: elevator_.tick(); return;
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

void Service::pause_accepting() {
  if (accepting_)
    loop_.forget(listening_.fd.get());
  accepting_ = false;
  accept_resumes_ms_ = monotonic_ms() + kAcceptBackoffMs;
}

void Service::resume_accepting() {
  if (accepting_)
    return;
  // Out of descriptors or with too much to release, the socket waits.
  if (!spare_)
    spare_.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!spare_ || (releaser_.held() >= kReleaseFull && !room_to_park())) {
    accept_resumes_ms_ = monotonic_ms() + kAcceptBackoffMs;
    return;
  }
  accepting_ = loop_.watch(listening_.fd.get(), kSocketTag);
  if (!accepting_) {
    warn("cannot watch %s: %s", path_.c_str(), errno_text(errno).c_str());
    accept_resumes_ms_ = monotonic_ms() + kAcceptBackoffMs;
  }
}

void Service::drop_client(uint64_t serial) {
  UniqueFd fd = clients_.remove(serial);
  if (!fd)
    return;
  loop_.forget(fd.get());
  // Whatever the peer sent and we did not read is released with it.
  releaser_.release_connection(std::move(fd));
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

int Service::room_for_client() {
  size_t held = releaser_.held();
  if (held < kReleaseBusy)
    return 0;
  warn("%zu descriptors wait to be released (%zu threads at it): answering "
       "new clients that the service is busy", held, releaser_.threads());
  return EAGAIN;
}

bool Service::refuse_and_park(UniqueFd fd) {
  if (parked_.empty())
    warn("%zu descriptors wait to be released (%zu threads at it): keeping "
         "new connections, unread, until there is room",
         releaser_.held(), releaser_.threads());
  ucred peer{};
  Reply reply;
  reply.error = peer_trusted(fd.get(), &peer) ? EAGAIN : EPERM;
  send(fd.get(), &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
  parked_.push_back(std::move(fd));
  if (room_to_park())
    return true;
  warn("%zu connections wait for the releaser: new connections wait",
       parked_.size());
  return false;
}

bool Service::room_to_park() const {
  return parked_.size() + clients_.size() < kMaxClients;
}

void Service::release_parked(bool all) {
  while (!parked_.empty() && (all || releaser_.held() < kReleaseFull)) {
    releaser_.release_connection(std::move(parked_.front()));
    parked_.pop_front();
  }
}

void Service::accept_clients() {
  for (;;) {
    bool full = releaser_.held() >= kReleaseFull;
    if (full && !room_to_park()) {
      pause_accepting();
      return;
    }
    int refusal = 0;
    UniqueFd fd(accept4(listening_.fd.get(), nullptr, nullptr,
                        SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd && (errno == EMFILE || errno == ENFILE) && spare_) {
      // Out of descriptors: the one held back takes the client, which is
      // served if it asks for what needs no descriptor, else told why not;
      // then the socket rests until one is free again.
      warn("accept on %s: %s: serving one client at a time",
           path_.c_str(), errno_text(errno).c_str());
      spare_.reset();
      fd.reset(accept4(listening_.fd.get(), nullptr, nullptr,
                       SOCK_CLOEXEC | SOCK_NONBLOCK));
      pause_accepting();
    }
    if (!fd) {
      if (errno == EMFILE || errno == ENFILE)
        pause_accepting();
      else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
        warn("accept on %s: %s", path_.c_str(), errno_text(errno).c_str());
      return;
    }
    if (full) {
      // Nothing of it is read, and it is not closed here: whatever it sent
      // may hold up the last close of a descriptor.
      if (!refuse_and_park(std::move(fd))) {
        pause_accepting();
        return;
      }
      continue;
    }
    if (refusal == 0)
      refusal = room_for_client();
    if (clients_.full())
      make_room();
    if (done_)
      return;  // one of those it served was an unload
    // Checked before anything is read from it: a peer of another user is
    // only ever answered EPERM, and whatever it sent is released unread.
    ucred peer{};
    if (!peer_trusted(fd.get(), &peer)) {
      warn("refused a client of user %u (pid %d): not this service's user",
           peer.uid, peer.pid);
      refusal = EPERM;
    }
    int raw = fd.get();
    uint64_t serial = clients_.add(std::move(fd), refusal, monotonic_ms());
    if (!loop_.watch(raw, serial))
      drop_client(serial);
    if (!accepting_)
      return;
  }
}

void Service::expire_clients() {
  for (uint64_t serial : clients_.expired(monotonic_ms()))
    drop_client(serial);
}

int Service::next_timeout() {
  int64_t now = monotonic_ms();
  int wait = clients_.next_timeout_ms(now);
  if (!accepting_) {
    int resume = static_cast<int>(std::max<int64_t>(0, accept_resumes_ms_ - now));
    wait = wait < 0 ? resume : std::min(wait, resume);
  }
  return wait < 0 ? kHousekeepingMs : std::min(wait, kHousekeepingMs);
}

void Service::shut_down() {
  if (done_)
    return;
  done_ = true;
  attachments_.stop_all();
  unlisten_socket(path_, &listening_);
  release_parked(true);  // never closed here, even at the end
  tracers_.finish();
  report_suppressed(true);
}

}  // namespace elevmod
