// Where the service's socket lives: --socket, else $ELEVMOD_SOCKET, else
// "socket" in a directory private to the user.
#pragma once

#include <sys/un.h>

#include <string>

namespace elevmod {

// The socket path: `option` if given, else $ELEVMOD_SOCKET, else "socket" in
// a private per-user directory, which is created (0700) when `create_dir`.
// Fails if that directory exists but is not the caller's alone; one of the
// caller's own that lacks rights for its owner gets them back.
bool resolve_socket_path(const std::string& option, bool create_dir,
                         std::string* path, std::string* err);

// Fills *addr for `path`; false (ENAMETOOLONG) when it does not fit.
bool socket_address(const std::string& path, sockaddr_un* addr);

// The name of user `uid`, or "?".
std::string user_name(uid_t uid);

}  // namespace elevmod
