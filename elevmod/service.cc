#include "service.h"

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "protocol.h"

namespace elevmod {

namespace {

// Beyond this many half-open client connections, new ones are turned away,
// so a misbehaving client cannot exhaust the service's descriptors.
constexpr size_t kMaxClients = 256;

void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stderr, "elevmod: %s\n", line);
}

}  // namespace

Service::Service(std::string socket_path, ServiceOptions options)
    : path_(std::move(socket_path)),
      options_(options),
      elevator_(options.config) {}

Service::~Service() {
  drop_listeners();
  for (auto& [fd, allowed] : clients_)
    close(fd);
  for (int fd : {socket_fd_, epoll_fd_, timer_fd_, signal_fd_})
    if (fd >= 0)
      close(fd);
}

bool Service::watch(int fd, Kind kind) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = (static_cast<uint64_t>(kind) << 32) |
                   static_cast<uint32_t>(fd);
  return epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) == 0;
}

void Service::forget(int fd) {
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
}

bool Service::prepare(bool* busy, std::string* err) {
  *busy = false;
  if (!notifier_.usable(err))
    return false;
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&signals, sig);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  signal_fd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (epoll_fd_ < 0 || timer_fd_ < 0 || signal_fd_ < 0) {
    *err = std::string("cannot set up the event loop: ") +
           std::strerror(errno);
    return false;
  }
  socket_fd_ = listen_socket(path_, busy, err);
  if (socket_fd_ < 0)
    return false;
  struct stat st;
  if (stat(path_.c_str(), &st) == 0)
    socket_inode_ = st.st_ino;
  if (!watch(socket_fd_, Kind::socket) || !watch(timer_fd_, Kind::timer) ||
      !watch(signal_fd_, Kind::signal)) {
    *err = std::string("epoll_ctl: ") + std::strerror(errno);
    return false;
  }
  return true;
}

int Service::run() {
  // The listeners are polled directly rather than through epoll: a caller
  // that notifies a listener wakes a poll() waiter synchronously, on its own
  // CPU (SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP), but epoll's relay of that
  // wakeup is an ordinary one, which costs about a third more per call.
  // Everything else stays behind the one epoll descriptor.
  std::vector<pollfd> fds;
  epoll_event events[64];
  while (!done_) {
    fds.clear();
    fds.push_back({epoll_fd_, POLLIN, 0});
    for (int fd : listeners_)
      fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR)
        continue;
      warn("poll: %s", std::strerror(errno));
      shut_down();
      return 1;
    }
    for (size_t i = 1; i < fds.size() && !done_; ++i)
      if (fds[i].revents)
        serve_listener(fds[i].fd, fds[i].revents);
    int n = fds[0].revents ? epoll_wait(epoll_fd_, events, 64, 0) : 0;
    for (int i = 0; i < n && !done_; ++i) {
      auto kind = static_cast<Kind>(events[i].data.u64 >> 32);
      int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
      switch (kind) {
        case Kind::socket: accept_clients(); break;
        case Kind::client: serve_client(fd); break;
        case Kind::timer: tick(); break;
        case Kind::signal: shut_down(); break;
      }
    }
    if (!done_)
      sync_timer();
  }
  return 0;
}

void Service::accept_clients() {
  for (;;) {
    int fd = accept4(socket_fd_, nullptr, nullptr,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
        warn("accept on %s: %s", path_.c_str(), std::strerror(errno));
      return;
    }
    if (clients_.size() >= kMaxClients || !watch(fd, Kind::client)) {
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
    clients_[fd] = allowed;
  }
}

void Service::serve_client(int fd) {
  bool allowed = clients_[fd];
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
      set_sync_wakeup(passed);
      listeners_.insert(passed);
      passed = -1;
    }
  } else if (request.verb == Verb::status || request.verb == Verb::unload) {
    reply.snapshot = elevator_.snapshot();
    reply.snapshot.listeners = static_cast<uint32_t>(listeners_.size());
    // Detach everyone before saying so: once unload returns, the three calls
    // fail for every attached process, and the figures are final.
    if (request.verb == Verb::unload)
      shut_down();
  } else {
    warn("ignored a request with unknown verb %u",
         static_cast<uint32_t>(request.verb));
    reply.error = EPROTO;
  }
  if (passed >= 0)
    close(passed);
  if (answer)
    send_message(fd, &reply, sizeof reply, -1);
  clients_.erase(fd);
  forget(fd);
}

void Service::serve_listener(int fd, short events) {
  if (events & POLLIN) {
    Notification note;
    int rc = notifier_.receive(fd, &note);
    if (rc == 0) {
      if (!note.ours) {
        notifier_.respond(fd, note.id, 0, ENOSYS);
        return;
      }
      elevator_.note_arrival(note.call.nr);
      int result = elevator_.answer(note.call);
      // Commit only what the caller was told; a lost answer (ENOENT: the
      // caller died or was interrupted and may ask again) changes nothing.
      if (notifier_.respond(fd, note.id, result, 0) == 0)
        elevator_.commit(note.call);
      return;
    }
    if (rc == ENOENT || rc == EINTR)
      return;
    if (!(events & POLLHUP))
      warn("receiving on listener %d: %s; dropping it", fd,
           std::strerror(rc));
  } else if (!(events & (POLLHUP | POLLERR | POLLNVAL))) {
    return;
  }
  // Every process under this listener's filter is gone.
  listeners_.erase(fd);
  close(fd);
}

void Service::tick() {
  uint64_t expirations = 0;
  if (read(timer_fd_, &expirations, sizeof expirations) !=
      sizeof expirations)
    return;
  // A loop held up for a while catches up, but not without bound.
  if (expirations > 1000)
    expirations = 1000;
  for (uint64_t i = 0; i < expirations && elevator_.running(); ++i)
    elevator_.step();
}

void Service::sync_timer() {
  bool want = elevator_.running();
  if (want == timer_armed_)
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

void Service::drop_listeners() {
  // Closing a listener makes its processes' calls fail with ENOSYS.
  for (int fd : listeners_)
    close(fd);
  listeners_.clear();
}

void Service::shut_down() {
  if (done_)
    return;
  done_ = true;
  drop_listeners();
  struct stat st;
  if (socket_inode_ && stat(path_.c_str(), &st) == 0 &&
      st.st_ino == socket_inode_)
    unlink(path_.c_str());
}

}  // namespace elevmod
