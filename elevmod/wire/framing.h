// Messages on the service's seqpacket sockets, with descriptors passed
// alongside (SCM_RIGHTS).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "wire/unique_fd.h"

namespace elevmod {

// Sends one message, with `pass_fd` as SCM_RIGHTS when it is >= 0.
bool send_message(int fd, const void* data, size_t size, int pass_fd);

// Receives one message, keeping at most `size` bytes.  Returns its full
// length (more than `size` when it did not fit), 0 at EOF, -1 on error
// (errno set).  A passed fd lands in *passed_fd when that is non-null; any
// other passed fds are closed.  *truncated is set when the message or its
// control data did not fit.
ssize_t receive_message(int fd, void* data, size_t size, int* passed_fd,
                        bool* truncated);

// As receive_message(), giving every passed fd to the caller in *fds;
// *fds_lost (when not null) is set when passed descriptors were dropped by
// the kernel (too many, or this process's descriptor table is full).
ssize_t receive_with_fds(int fd, void* data, size_t size,
                         std::vector<UniqueFd>* fds, bool* truncated,
                         bool* fds_lost);

}  // namespace elevmod
