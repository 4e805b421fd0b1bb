#include "cli/detach.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace elevmod {

bool detach(const std::function<int()>& body) {
  pid_t child = fork();
  if (child < 0)
    return false;
  if (child == 0) {
    pid_t grandchild = fork();
    if (grandchild != 0)
      _exit(grandchild < 0 ? 1 : 0);
    setpgid(0, 0);
    if (chdir("/") != 0) {
      // Only pins the directory; nothing is needed from it.
    }
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      for (int fd = 0; fd < 3; ++fd)
        dup2(null_fd, fd);
      if (null_fd > 2)
        close(null_fd);
    }
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
