#include "wire/service_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wire/errors.h"
#include "wire/framing.h"
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
                     std::string* err) {
  ucred peer{};
  socklen_t len = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
    *err = "cannot tell who serves " + path + ": " + errno_text(errno);
    return false;
  }
  if (uid_is_trusted(peer.uid) || (read_only && geteuid() == 0))
    return true;
  *err = "refusing the service on " + path + ": it runs as user " +
         user_name(peer.uid) +
         " (uid " + std::to_string(peer.uid) + "), not as you or root";
  return false;
}

namespace {

// What a refusal means, for the user.
std::string refusal(const std::string& path, int error) {
  if (error == EAGAIN)
    return "the service on " + path + " is busy (" + errno_text(error) +
           "): try again";
  if (error == EMFILE)
    return "the service on " + path + " is out of descriptors (" +
           errno_text(error) + ")";
  return "the service on " + path + " refused: " + errno_text(error);
}

// ask_service(), leaving the connection open in *kept when that is not null
// and the service said yes.
int exchange(const std::string& path, Verb verb, int pass_fd, Reply* reply,
             std::string* err, UniqueFd* kept) {
  const std::string no_answer = "no answer from " + path + " within " +
                                std::to_string(kClientTimeoutSeconds) +
                                " s (is the service stopped?)";
  // A service flooded with connections may drop ours before it has read
  // anything from it: then nothing was asked, and asking again is safe.
  UniqueFd fd;
  Request request;
  request.verb = verb;
  bool sent = false;
  int send_error = 0;
  for (int attempt = 0; attempt < kAttempts && !sent; ++attempt) {
    fd = connect_socket(path, kClientTimeoutSeconds);
    if (!fd) {
      int saved = errno;
      if (saved == ENOENT || saved == ECONNREFUSED) {
        *err = "no service is loaded on " + path;
      } else if (saved == EAGAIN) {
        *err = no_answer;
        saved = ETIMEDOUT;
      } else {
        *err = "cannot connect to " + path + ": " + errno_text(saved);
      }
      return saved;
    }
    bool read_only = verb == Verb::status || verb == Verb::trace;
    if (!peer_is_trusted(fd.get(), path, read_only, err))
      return EACCES;
    sent = send_message(fd.get(), &request, sizeof request, pass_fd);
    send_error = sent ? 0 : errno ? errno : EPROTO;
    if (!sent && send_error != EPIPE && send_error != ECONNRESET)
      break;
  }
  // A wedged service must not hang its clients for good.
  timeval timeout{kClientTimeoutSeconds, 0};
  if (sent && setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout,
                         sizeof timeout) != 0) {
    int saved = errno;
    *err = "cannot bound the wait for " + path + ": " + errno_text(saved);
    return saved;
  }
  int result = 0;
  bool truncated = false;
  ssize_t n = -1;
  if (!sent) {
    result = send_error;
    *err = "cannot send to " + path + ": " + errno_text(result);
  } else if ((n = receive_message(fd.get(), reply, sizeof *reply, nullptr,
                                  &truncated)) != sizeof *reply ||
             truncated || reply->magic != kMagic) {
    result = n < 0 ? errno : n == 0 ? ECONNRESET : EPROTO;
    if (n < 0 && result == EAGAIN) {
      *err = no_answer;
      result = ETIMEDOUT;
    } else if (result == ECONNRESET || result == EPIPE) {
      *err = "the service on " + path + " hung up without answering (" +
             errno_text(result) + ")";
    } else if (n < 0 || n == 0) {
      *err = "no answer from " + path + ": " + errno_text(result);
    } else {
      *err = "unexpected answer from " + path +
             " (a different elevmod version?)";
    }
  } else if (reply->error != 0) {
    result = reply->error;
    *err = refusal(path, result);
  }
  if (kept && result == 0) {
    timeval forever{0, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &forever, sizeof forever);
    *kept = std::move(fd);
  }
  return result;
}

}  // namespace

int ask_service(const std::string& path, Verb verb, int pass_fd, Reply* reply,
                std::string* err) {
  return exchange(path, verb, pass_fd, reply, err, nullptr);
}

UniqueFd open_trace(const std::string& path, std::string* err) {
  Reply reply;
  UniqueFd fd;
  exchange(path, Verb::trace, -1, &reply, err, &fd);
  return fd;
}

}  // namespace elevmod
