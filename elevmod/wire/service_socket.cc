#include "wire/service_socket.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "wire/errors.h"
#include "wire/socket_path.h"
#include "wire/unique_fd.h"

namespace elevmod {

namespace {

// Whether something listens on the socket at `path`: one that refuses
// connections was left by a service that died, but one that accepts them
// (or is too busy to, or is of another socket type) belongs to a program
// that runs, systemd's socket activation or another service, say.
bool socket_is_live(const std::string& path) {
  sockaddr_un addr;
  if (!socket_address(path, &addr))
    return false;
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     0));
  if (!fd)
    return false;
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
    return true;
  return errno == EAGAIN || errno == EINPROGRESS || errno == EPROTOTYPE;
}

// Takes the lock that makes one service the owner of a socket path.  The
// lock file may be removed by a service that is just ending, so a lock taken
// on a file that is no longer at `lock_path` is taken again.
UniqueFd lock_path(const std::string& lock_path, bool* busy,
                   std::string* err) {
  for (;;) {
    UniqueFd fd(open(lock_path.c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
      *err = "cannot open " + lock_path + ": " + errno_text(errno);
      return fd;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      *busy = errno == EWOULDBLOCK;
      *err = *busy ? "" : "cannot lock " + lock_path + ": " + errno_text(errno);
      return UniqueFd();
    }
    struct stat held, named;
    if (fstat(fd.get(), &held) == 0 && stat(lock_path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
      return fd;
  }
}

UniqueFd bind_and_listen(const std::string& path, std::string* err) {
  sockaddr_un addr;
  socket_address(path, &addr);
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     0));
  if (!fd) {
    *err = "socket: " + errno_text(errno);
    return fd;
  }
  mode_t old_mask = umask(0177);
  int rc = bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int saved = errno;
  umask(old_mask);
  // A backlog that holds a burst of clients while the loop is busy.
  if (rc == 0 && listen(fd.get(), kListenBacklog) != 0) {
    saved = errno;
    unlink(path.c_str());
    rc = -1;
  }
  if (rc != 0) {
    *err = "cannot listen on " + path + ": " + errno_text(saved);
    return UniqueFd();
  }
  return fd;
}

}  // namespace

bool listen_socket(const std::string& path, Listening* out, bool* busy,
                   std::string* err) {
  *busy = false;
  // Named here, not as the lock file beside the socket that cannot be made.
  std::string dir = path.substr(0, path.rfind('/'));
  if (dir.empty())
    dir = "/";
  struct stat dir_st;
  if (stat(dir.c_str(), &dir_st) != 0) {
    *err = "cannot listen on " + path + ": " +
           (errno == ENOENT ? "there is no directory " + dir
                            : dir + ": " + errno_text(errno));
    return false;
  }
  if (!S_ISDIR(dir_st.st_mode)) {
    *err = "cannot listen on " + path + ": " + dir + " is not a directory";
    return false;
  }
  UniqueFd lock = lock_path(path + ".lock", busy, err);
  if (!lock) {
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
  bool in_place = !socket_address(temporary, &addr);
  for (const std::string& name : {path, temporary})
    if (socket_is_live(name))
      return give_up(name + ": another program listens on it");
  if (in_place)
    unlink(path.c_str());
  else
    unlink(temporary.c_str());
  UniqueFd fd = bind_and_listen(in_place ? path : temporary, err);
  if (fd && !in_place && rename(temporary.c_str(), path.c_str()) != 0) {
    *err = "cannot move " + temporary + " to " + path + ": " +
           errno_text(errno);
    unlink(temporary.c_str());
    fd.reset();
  }
  if (!fd) {
    unlink((path + ".lock").c_str());
    return false;
  }
  out->fd = std::move(fd);
  out->lock = std::move(lock);
  out->inode = lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  return true;
}

UniqueFd activated_socket(std::string* err) {
  // Copied before unsetenv(), which may free what getenv() pointed to.
  const char* pid_value = std::getenv("LISTEN_PID");
  const char* fds_value = std::getenv("LISTEN_FDS");
  std::string pid = pid_value ? pid_value : "";
  std::string fds = fds_value ? fds_value : "";
  bool ours = pid_value && fds_value && std::to_string(getpid()) == pid;
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (!ours)
    return UniqueFd();
  UniqueFd fd(3);  // SD_LISTEN_FDS_START
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  sockaddr_storage addr{};
  socklen_t addr_size = sizeof addr;
  if (fds != "1" ||
      getsockopt(fd.get(), SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
      type != SOCK_SEQPACKET ||
      getsockopt(fd.get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
      !listening ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &addr_size) !=
          0 ||
      addr.ss_family != AF_UNIX) {
    fd.release();  // not ours to close
    *err = "socket activation passed " + fds +
           " descriptors; want one listening Unix seqpacket socket "
           "(ListenSequentialPacket=)";
    return UniqueFd();
  }
  int flags = fcntl(fd.get(), F_GETFL);
  if (fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0 || flags < 0 ||
      fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    *err = "cannot make the activated socket non-blocking: " +
           errno_text(errno);
    return UniqueFd();
  }
  return fd;
}

void unlisten_socket(const std::string& path, Listening* listening) {
  struct stat st;
  if (listening->inode && lstat(path.c_str(), &st) == 0 &&
      st.st_ino == listening->inode)
    unlink(path.c_str());
  if (listening->lock)
    unlink((path + ".lock").c_str());
  *listening = Listening{};  // closing the lock releases it
}

}  // namespace elevmod
