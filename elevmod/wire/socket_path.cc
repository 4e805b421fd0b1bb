#include "wire/socket_path.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "wire/errors.h"

namespace elevmod {

bool socket_address(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string user_name(uid_t uid) {
  passwd entry, *found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
    return found->pw_name;
  return "?";
}

namespace {

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
  if (!socket_address(chosen, &addr)) {
    *err = "socket path is too long: " + chosen;
    return false;
  }
  *path = chosen;
  return true;
}

}  // namespace elevmod
