#include "cli/detach.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "wire/unique_fd.h"

namespace elevmod {

bool detach(const std::function<int()>& body) {
  pid_t child = fork();
  if (child < 0)
    return false;
  if (child == 0) {
    // Set up here, where a failure still reaches the caller through this
    // child's status; the grandchild inherits it all.
    if (setpgid(0, 0) != 0)
      _exit(1);
    if (chdir("/") != 0) {
      // Only pins the directory; nothing is needed from it.
    }
    UniqueFd null_fd(open("/dev/null", O_RDWR));
    if (!null_fd)
      _exit(1);
    for (int fd = 0; fd < 3; ++fd)
      if (dup2(null_fd.get(), fd) != fd)
        _exit(1);
    if (null_fd.get() <= 2)
      null_fd.release();  // it is one of the three now
    null_fd.reset();
    pid_t grandchild = fork();
    if (grandchild != 0)
      _exit(grandchild < 0 ? 1 : 0);
    _exit(body());
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    errno = EAGAIN;
    return false;
  }
  return true;
}

}  // namespace elevmod
