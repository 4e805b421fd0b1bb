#include "service/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstdint>

#include "wire/errors.h"

namespace elevmod {

size_t listener_room(size_t reserved, std::string* warning) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    *warning = "getrlimit(RLIMIT_NOFILE): " + errno_text(errno);
    return 0;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
      limit = raised;
    else
      *warning = "cannot raise the descriptor limit to " +
                 std::to_string(limit.rlim_max) + ": " + errno_text(errno);
  }
  size_t room = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : limit.rlim_cur;
  return room > reserved ? room - reserved : 0;
}

}  // namespace elevmod
