// The socket a service listens on: taken under a lock so that one service
// holds it, bound under a temporary name and renamed into place, or passed
// by systemd's socket activation.
#pragma once

#include <sys/types.h>

#include <string>

#include "wire/unique_fd.h"

namespace elevmod {

// Connections the socket holds before the service takes them.
constexpr int kListenBacklog = 256;

// The socket a service holds, and the lock that makes it the only one.
struct Listening {
  UniqueFd fd;      // listening, non-blocking
  UniqueFd lock;    // holds the lock on `path` + ".lock" while open
  ino_t inode = 0;  // of the socket file, to remove only our own
};

// Takes `path` for a service: locks `path` + ".lock" (a second service on
// the same path fails with *busy set), binds and listens on a temporary name
// beside it (mode 0600) and renames that into place, so the socket appears
// only once it accepts connections.  A stale socket left by a service that
// died is replaced.  Returns false with *err set on failure.
bool listen_socket(const std::string& path, Listening* out, bool* busy,
                   std::string* err);

// The listening socket that systemd's socket activation passed ($LISTEN_PID
// is this process, $LISTEN_FDS is 1: descriptor 3), made non-blocking, or
// none when none was passed; none with *err set when the one passed is not
// a listening Unix seqpacket socket or cannot be made non-blocking.  Unsets
// those variables either way.
UniqueFd activated_socket(std::string* err);

// Removes the socket (if it is still ours) and the lock file, then releases
// the lock.
void unlisten_socket(const std::string& path, Listening* listening);

}  // namespace elevmod
