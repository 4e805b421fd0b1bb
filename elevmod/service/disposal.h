// Descriptors that clients hand over and the service does not keep are
// closed away from the service's loop: the last close of a socket that
// lingers, or of a file whose file system stalls, can block for as long as
// that takes.
#pragma once

#include "wire/unique_fd.h"

namespace elevmod {

// Closes `fd` without blocking the caller: a socket loses its linger first
// (its close then never waits), and the close itself happens on a thread
// of its own.
void dispose(UniqueFd fd);

}  // namespace elevmod
