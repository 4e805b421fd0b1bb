#include "protocol.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace elevmod {

namespace {

bool make_address(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string errno_text(int error) { return std::strerror(error); }

std::string user_name(uid_t uid) {
  passwd entry, *found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
    return found->pw_name;
  return "?";
}

// Whether something listens on the socket at `path`: one that refuses
// connections was left by a service that died, but one that accepts them
// (or is too busy to, or is of another socket type) belongs to a program
// that runs, systemd's socket activation or another service, say.
bool socket_is_live(const std::string& path) {
  sockaddr_un addr;
  if (!make_address(path, &addr))
    return false;
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     0));
  if (!fd)
    return false;
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
    return true;
  return errno == EAGAIN || errno == EINPROGRESS || errno == EPROTOTYPE;
}

bool private_dir(const std::string& dir, bool create, std::string* err) {
  if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *err = "cannot create " + dir + ": " + errno_text(errno);
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT && !create)
      return true;  // nothing there yet: connecting will say no service
    *err = "cannot inspect " + dir + ": " + errno_text(errno);
    return false;
  }
  if (st.st_uid != geteuid()) {
    *err = dir + " belongs to user " + user_name(st.st_uid) + " (uid " +
           std::to_string(st.st_uid) + "), not to you: choose another "
           "socket with --socket, $ELEVMOD_SOCKET or $XDG_RUNTIME_DIR";
    return false;
  }
  if (!S_ISDIR(st.st_mode) || (st.st_mode & 077) != 0) {
    *err = dir + " is not a private directory of this user (want mode 0700)";
    return false;
  }
  // mkdir() obeys the umask, and a directory of ours that we may not enter
  // would shut this user out of the service until repaired by hand.
  if ((st.st_mode & 0700) != 0700 && chmod(dir.c_str(), 0700) != 0) {
    *err = "cannot give " + dir + " mode 0700: " + errno_text(errno) +
           " (hint: chmod 700 " + dir + ")";
    return false;
  }
  return true;
}

// Takes the lock that makes one service the owner of a socket path.  The
// lock file may be removed by a service that is just ending, so a lock taken
// on a file that is no longer at `lock_path` is taken again.
int lock_path(const std::string& lock_path, bool* busy, std::string* err) {
  for (;;) {
    int fd = open(lock_path.c_str(),
                  O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      *err = "cannot open " + lock_path + ": " + errno_text(errno);
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int saved = errno;
      close(fd);
      *busy = saved == EWOULDBLOCK;
      *err = *busy ? "" : "cannot lock " + lock_path + ": " + errno_text(saved);
      return -1;
    }
    struct stat held, named;
    if (fstat(fd, &held) == 0 && stat(lock_path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
      return fd;
    close(fd);
  }
}

int bind_and_listen(const std::string& path, std::string* err) {
  sockaddr_un addr;
  make_address(path, &addr);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *err = "socket: " + errno_text(errno);
    return -1;
  }
  mode_t old_mask = umask(0177);
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int saved = errno;
  umask(old_mask);
  if (rc == 0 && listen(fd, 64) != 0) {
    saved = errno;
    unlink(path.c_str());
    rc = -1;
  }
  if (rc != 0) {
    close(fd);
    *err = "cannot listen on " + path + ": " + errno_text(saved);
    return -1;
  }
  return fd;
}

}  // namespace

bool resolve_socket_path(const std::string& option, bool create_dir,
                         std::string* path, std::string* err) {
  std::string chosen = option;
  if (chosen.empty())
    if (const char* env = std::getenv("ELEVMOD_SOCKET"))
      chosen = env;
  if (chosen.empty()) {
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
      dir = std::string(runtime) + "/elevmod";
    else
      dir = "/tmp/elevmod-" + std::to_string(geteuid());
    if (!private_dir(dir, create_dir, err))
      return false;
    chosen = dir + "/socket";
  }
  // The background service changes to "/", so hold on to an absolute path.
  if (chosen[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      *err = "cannot find the current directory: " + errno_text(errno);
      return false;
    }
    chosen = std::string(cwd) + "/" + chosen;
  }
  sockaddr_un addr;
  if (!make_address(chosen, &addr)) {
    *err = "socket path is too long: " + chosen;
    return false;
  }
  *path = chosen;
  return true;
}

int connect_socket(const std::string& path, int timeout_seconds) {
  sockaddr_un addr;
  if (!make_address(path, &addr))
    return -1;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  // A stopped service whose backlog is full would otherwise hold connect()
  // for good: on a Unix socket, the send timeout bounds that wait.
  timeval timeout{timeout_seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool uid_is_trusted(uid_t uid) { return uid == geteuid() || uid == 0; }

bool peer_is_trusted(int fd, const std::string& path, std::string* err) {
  ucred peer{};
  socklen_t len = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
    *err = "cannot tell who serves " + path + ": " + errno_text(errno);
    return false;
  }
  if (uid_is_trusted(peer.uid))
    return true;
  *err = "refusing the service on " + path + ": it runs as user " +
         user_name(peer.uid) +
         " (uid " + std::to_string(peer.uid) + "), not as you or root";
  return false;
}

bool listen_socket(const std::string& path, Listening* out, bool* busy,
                   std::string* err) {
  *busy = false;
  int lock_fd = lock_path(path + ".lock", busy, err);
  if (lock_fd < 0) {
    if (*busy)
      *err = "a service is already loaded on " + path;
    return false;
  }
  // Holding the lock, we are the only service of ours for this path: a
  // socket there that refuses connections was left by one that died.
  // Anything else is not ours to replace.
  auto give_up = [&](const std::string& why) {
    *err = "cannot listen on " + why;
    unlink((path + ".lock").c_str());
    close(lock_fd);
    return false;
  };
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode))
    return give_up(path + ": it exists and is not a socket");
  // Clients must never find a socket that is bound but not yet listening
  // (they would take the service for gone), so it listens under another
  // name first.  A path too long for that suffix is bound in place.
  std::string temporary = path + ".new";
  sockaddr_un addr;
  bool in_place = !make_address(temporary, &addr);
  for (const std::string& name : {path, temporary})
    if (socket_is_live(name))
      return give_up(name + ": another program listens on it");
  if (in_place)
    unlink(path.c_str());
  else
    unlink(temporary.c_str());
  int fd = bind_and_listen(in_place ? path : temporary, err);
  if (fd >= 0 && !in_place && rename(temporary.c_str(), path.c_str()) != 0) {
    *err = "cannot move " + temporary + " to " + path + ": " +
           errno_text(errno);
    unlink(temporary.c_str());
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    unlink((path + ".lock").c_str());
    close(lock_fd);
    return false;
  }
  out->fd = fd;
  out->lock_fd = lock_fd;
  out->inode = lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  return true;
}

int activated_socket(std::string* err) {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  bool ours = pid && fds && std::to_string(getpid()) == pid;
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (!ours)
    return -1;
  const int fd = 3;  // SD_LISTEN_FDS_START
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  sockaddr_storage addr{};
  socklen_t addr_size = sizeof addr;
  if (std::strcmp(fds, "1") != 0 ||
      getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
      type != SOCK_SEQPACKET ||
      getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
      !listening ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_size) != 0 ||
      addr.ss_family != AF_UNIX) {
    *err = std::string("socket activation passed ") + fds +
           " descriptors; want one listening Unix seqpacket socket "
           "(ListenSequentialPacket=)";
    return -1;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void unlisten_socket(const std::string& path, Listening* listening) {
  struct stat st;
  if (listening->inode && lstat(path.c_str(), &st) == 0 &&
      st.st_ino == listening->inode)
    unlink(path.c_str());
  if (listening->lock_fd >= 0) {
    unlink((path + ".lock").c_str());
    close(listening->lock_fd);
  }
  if (listening->fd >= 0)
    close(listening->fd);
  *listening = Listening{};
}

bool send_message(int fd, const void* data, size_t size, int pass_fd) {
  iovec iov{const_cast<void*>(data), size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (pass_fd >= 0) {
    std::memset(control, 0, sizeof control);
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &pass_fd, sizeof(int));
  }
  ssize_t n;
  do
    n = sendmsg(fd, &msg, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}

ssize_t receive_with_fds(int fd, void* data, size_t size,
                         std::vector<UniqueFd>* fds, bool* truncated,
                         bool* fds_lost) {
  fds->clear();
  *truncated = false;
  if (fds_lost)
    *fds_lost = false;
  iovec iov{data, size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do
    n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_TRUNC);
  while (n < 0 && errno == EINTR);
  if (n < 0)
    return -1;
  // MSG_CTRUNC: more descriptors than fit, or none could be installed
  // (this process's table is full); the kernel dropped them.
  *truncated = (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
  if (fds_lost)
    *fds_lost = (msg.msg_flags & MSG_CTRUNC) != 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
      continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int passed;
      std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
      fds->emplace_back(passed);
    }
  }
  return n;
}

ssize_t receive_message(int fd, void* data, size_t size, int* passed_fd,
                        bool* truncated) {
  std::vector<UniqueFd> fds;
  ssize_t n = receive_with_fds(fd, data, size, &fds, truncated, nullptr);
  if (passed_fd)
    *passed_fd = fds.empty() || n < 0 ? -1 : fds.front().release();
  return n;  // any other passed fds close with `fds`
}

bool is_seccomp_listener(int fd) {
  char link[64];
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
  if (n < 0)
    return false;
  link[n] = '\0';
  return std::strcmp(link, "anon_inode:seccomp notify") == 0;
}

namespace {

// ask_service(), leaving the connection open in *kept when that is not null
// and the service said yes.
int exchange(const std::string& path, Verb verb, int pass_fd, Reply* reply,
             std::string* err, int* kept) {
  const std::string no_answer = "no answer from " + path + " within " +
                                std::to_string(kClientTimeoutSeconds) +
                                " s (is the service stopped?)";
  int fd = connect_socket(path, kClientTimeoutSeconds);
  if (fd < 0) {
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
  if (!peer_is_trusted(fd, path, err)) {
    close(fd);
    return EACCES;
  }
  // A wedged service must not hang its clients for good.
  timeval timeout{kClientTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  Request request;
  request.verb = verb;
  int result = 0;
  bool truncated = false;
  ssize_t n = -1;
  if (!send_message(fd, &request, sizeof request, pass_fd)) {
    result = errno ? errno : EPROTO;
    *err = "cannot send to " + path + ": " + errno_text(result);
  } else if ((n = receive_message(fd, reply, sizeof *reply, nullptr,
                                  &truncated)) != sizeof *reply ||
             truncated || reply->magic != kMagic) {
    result = n < 0 ? errno : n == 0 ? ECONNRESET : EPROTO;
    if (n < 0 && result == EAGAIN) {
      *err = no_answer;
      result = ETIMEDOUT;
    } else if (n < 0 || n == 0) {
      *err = "no answer from " + path + ": " + errno_text(result);
    } else {
      *err = "unexpected answer from " + path +
             " (a different elevmod version?)";
    }
  } else if (reply->error != 0) {
    result = reply->error;
    *err = "the service on " + path + " refused: " + errno_text(result);
  }
  if (kept && result == 0) {
    timeval forever{0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &forever, sizeof forever);
    *kept = fd;
  } else {
    close(fd);
  }
  return result;
}

}  // namespace

int ask_service(const std::string& path, Verb verb, int pass_fd, Reply* reply,
                std::string* err) {
  return exchange(path, verb, pass_fd, reply, err, nullptr);
}

int open_trace(const std::string& path, std::string* err) {
  Reply reply;
  int fd = -1;
  exchange(path, Verb::trace, -1, &reply, err, &fd);
  return fd;
}

}  // namespace elevmod
