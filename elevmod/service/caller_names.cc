#include "service/caller_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "wire/unique_fd.h"

namespace elevmod {

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

}  // namespace elevmod
