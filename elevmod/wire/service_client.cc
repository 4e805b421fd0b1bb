#include "wire/service_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wire/deadline.h"
#include "wire/errors.h"
#include "wire/framing.h"
#include "wire/releaser.h"
#include "wire/socket_path.h"
#include "wire/unique_fd.h"

namespace elevmod {

namespace {

// Tries at asking a service that drops the connection before reading it.
constexpr int kAttempts = 3;

}  // namespace

UniqueFd connect_socket(const std::string& path, int timeout_seconds) {
  sockaddr_un addr;
  if (!socket_address(path, &addr))
    return UniqueFd();
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd)
    return fd;
  // A stopped service whose backlog is full would otherwise hold connect()
  // for good: on a Unix socket, the send timeout bounds that wait.
  timeval timeout{timeout_seconds, 0};
  if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout,
                 sizeof timeout) != 0 ||
      connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) !=
      0) {
    int saved = errno;
    fd.reset();
    errno = saved;
  }
  return fd;
}

bool peer_is_trusted(int fd, const std::string& path, bool read_only,
                     std::string* err, pid_t* pid) {
  ucred peer{};
  socklen_t len = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
    *err = "cannot tell who serves " + path + ": " + errno_text(errno);
    return false;
  }
  if (pid)
    *pid = peer.pid;
  if (uid_is_trusted(peer.uid) || (read_only && geteuid() == 0))
    return true;
  *err = "refusing the service on " + path + ": it runs as user " +
         user_name(peer.uid) +
         " (uid " + std::to_string(peer.uid) + "), not as you or root";
  return false;
}

namespace {

// Threads that close the client's connections; one blocked close holds up
// only its own.
constexpr size_t kClientReleaseThreads = 8;
// How often a connection is tried again while the service's backlog is full.
constexpr int64_t kConnectRetryMs = 20;
// How long a client asks a busy service again, and how often.
constexpr int64_t kBusyRetryMs = 2000;
constexpr int64_t kBusyPauseMs = 50;

Releaser& client_releaser() {
  // Never destroyed: its threads may still be closing when the process ends.
  static Releaser* releaser = new Releaser(kClientReleaseThreads);
  return *releaser;
}

// Connects without blocking: a service whose backlog is full (stopped, or
// not accepting for now) is tried again until `until_ms`.  Returns 0 with
// the connection in *fd, or the errno of what failed.
int connect_within(const std::string& path, int64_t until_ms,
                   const sigset_t* mask, UniqueFd* fd) {
  sockaddr_un addr;
  if (!socket_address(path, &addr))
    return errno;
  fd->reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!*fd)
    return errno;
  for (;;) {
    if (connect(fd->get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) ==
        0)
      return 0;
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN)
      return errno;
    int waited = wait_ready(-1, 0, std::min(until_ms,
                                            monotonic_ms() + kConnectRetryMs),
                            mask);
    if (waited == EINTR)
      return EINTR;
    if (monotonic_ms() >= until_ms)
      return ETIMEDOUT;
  }
}

// Whether process `pid` is stopped (a job stopped with ^Z, or traced).
bool process_stopped(pid_t pid) {
  if (pid <= 0)
    return false;
  FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(),
                          "r");
  if (!stat)
    return false;
  char line[512];
  bool stopped = false;
  if (std::fgets(line, sizeof line, stat)) {
    // The state follows the command name, which may hold anything.
    const char* close = std::strrchr(line, ')');
    stopped = close && (close[2] == 'T' || close[2] == 't');
  }
  std::fclose(stat);
  return stopped;
}

// Why a service that is there did not answer in time.
std::string no_answer(const std::string& path, pid_t pid) {
  std::string within = "no answer from " + path + " within " +
                       std::to_string(kClientTimeoutSeconds) + " s";
  if (process_stopped(pid))
    return within + ": the service (pid " + std::to_string(pid) +
           ") is stopped; continue it (kill -CONT " + std::to_string(pid) +
           ")";
  return within + ": the service is busy; try again";
}

// What a refusal means, for the user.
std::string refusal(const std::string& path, Verb verb, int error) {
  if (verb == Verb::trace && error == EBUSY)
    return "the service on " + path + " has as many tracers as it takes, "
           "all reading: end one of them (elevmod status counts them) and "
           "try again";
  if (error == EAGAIN)
    return "the service on " + path + " is busy (" + errno_text(error) +
           "): try again";
  if (error == EMFILE)
    return "the service on " + path + " is out of descriptors (" +
           errno_text(error) + ")";
  return "the service on " + path + " refused: " + errno_text(error);
}

// The connection of one ask, closed away from the caller's thread unless
// it is kept.
struct Connection {
  UniqueFd fd;
  ~Connection() { close_connection(std::move(fd)); }
};

// One ask of exchange().
int exchange_once(const std::string& path, Verb verb, int pass_fd, Reply* reply,
                  std::string* err, UniqueFd* kept, const sigset_t* mask) {
  const int64_t until = monotonic_ms() + kClientTimeoutSeconds * 1000;
  const std::string interrupted = "interrupted while asking " + path;
  // A service flooded with connections may drop ours before it has read
  // anything from it: then nothing was asked, and asking again is safe.
  Connection connection;
  UniqueFd& fd = connection.fd;
  Request request;
  request.verb = verb;
  bool sent = false;
  int send_error = 0;
  pid_t service_pid = 0;
  for (int attempt = 0; attempt < kAttempts && !sent; ++attempt) {
    close_connection(std::move(fd));
    int rc = connect_within(path, until, mask, &fd);
    if (rc != 0) {
      if (rc == ENOENT || rc == ECONNREFUSED)
        *err = "no service is loaded on " + path;
      else if (rc == ETIMEDOUT)
        *err = "no answer from " + path + " within " +
               std::to_string(kClientTimeoutSeconds) +
               " s (is the service stopped?)";
      else if (rc == EINTR)
        *err = interrupted;
      else
        *err = "cannot connect to " + path + ": " + errno_text(rc);
      return rc;
    }
    bool read_only = verb == Verb::status || verb == Verb::trace;
    if (!peer_is_trusted(fd.get(), path, read_only, err, &service_pid))
      return EACCES;
    for (;;) {
      sent = send_message(fd.get(), &request, sizeof request, pass_fd);
      send_error = sent ? 0 : errno ? errno : EPROTO;
      if (send_error != EAGAIN)
        break;
      send_error = wait_ready(fd.get(), POLLOUT, until, mask);
      if (send_error != 0)
        break;
    }
    if (!sent && send_error != EPIPE && send_error != ECONNRESET)
      break;
  }
  if (!sent) {
    if (send_error == EINTR)
      *err = interrupted;
    else if (send_error == ETIMEDOUT)
      *err = no_answer(path, service_pid);
    else
      *err = "cannot send to " + path + ": " + errno_text(send_error);
    return send_error;
  }
  int result = wait_ready(fd.get(), POLLIN, until, mask);
  bool truncated = false;
  ssize_t n = -1;
  if (result == EINTR) {
    *err = interrupted;
  } else if (result == ETIMEDOUT) {
    *err = no_answer(path, service_pid);
  } else if ((n = receive_plain_message(fd.get(), reply, sizeof *reply,
                                        &truncated)) != sizeof *reply ||
             truncated || reply->magic != kMagic) {
    result = n < 0 ? errno : n == 0 ? ECONNRESET : EPROTO;
    if (result == ECONNRESET || result == EPIPE) {
      *err = "the service on " + path + " hung up without answering (" +
             errno_text(result) + ")";
    } else if (result == EBADMSG) {
      *err = "the service on " + path + " sent descriptors with its answer; "
             "refused them (is it elevmod?)";
    } else if (n < 0) {
      *err = "no answer from " + path + ": " + errno_text(result);
    } else {
      *err = "unexpected answer from " + path +
             " (a different elevmod version?)";
    }
  } else if (reply->error != 0) {
    result = reply->error;
    *err = refusal(path, verb, result);
  }
  if (kept && result == 0)
    *kept = std::move(fd);
  return result;
}

// ask_service(), leaving the connection open in *kept when that is not null
// and the service said yes.  A service busy releasing descriptors says so
// at once, without acting; as a flood of connections passes in moments, it
// is asked again for a while before its "busy" is the answer.
int exchange(const std::string& path, Verb verb, int pass_fd, Reply* reply,
             std::string* err, UniqueFd* kept, const sigset_t* mask) {
  const int64_t until = monotonic_ms() + kBusyRetryMs;
  for (;;) {
    int rc = exchange_once(path, verb, pass_fd, reply, err, kept, mask);
    if (rc != EAGAIN || reply->error != EAGAIN || monotonic_ms() >= until)
      return rc;
    if (wait_ready(-1, 0, std::min(until, monotonic_ms() + kBusyPauseMs), mask) == EINTR) {
      *err = "interrupted while asking " + path;
      return EINTR;
    }
  }
}

}  // namespace

int ask_service(const std::string& path, Verb verb, int pass_fd, Reply* reply,
                std::string* err, const sigset_t* wait_mask) {
  return exchange(path, verb, pass_fd, reply, err, nullptr, wait_mask);
}

UniqueFd open_trace(const std::string& path, std::string* err,
                    const sigset_t* wait_mask) {
  Reply reply;
  UniqueFd fd;
  exchange(path, Verb::trace, -1, &reply, err, &fd, wait_mask);
  return fd;
}

void close_connection(UniqueFd connection) {
  if (connection)
    client_releaser().release_connection(std::move(connection));
}

}  // namespace elevmod
