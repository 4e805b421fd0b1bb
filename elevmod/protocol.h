// The service's socket: where it lives, and the fixed-layout messages that
// cross it.  A client sends one Request (an attach carries the listener fd
// alongside) and reads one Reply; a tracer then reads messages of whole
// TraceEvents until the service ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "elevator.h"
#include "trace.h"
#include "unique_fd.h"

namespace elevmod {

constexpr uint32_t kMagic = 0x454c4d31;  // "ELM1"; bump on any layout change

enum class Verb : uint32_t { attach = 1, status = 2, unload = 3, trace = 4 };

struct Request {
  uint32_t magic = kMagic;
  Verb verb = Verb::status;
};

struct Reply {
  uint32_t magic = kMagic;
  int32_t error = 0;  // 0, or the errno saying why the request was refused
  Snapshot snapshot;
};

static_assert(std::is_trivially_copyable_v<Request> &&
              std::is_trivially_copyable_v<Reply>);

// How long a client waits for the service to accept it, and then to answer.
constexpr int kClientTimeoutSeconds = 10;

// The socket path: `option` if given, else $ELEVMOD_SOCKET, else "socket" in
// a private per-user directory, which is created (0700) when `create_dir`.
// Fails if that directory exists but is not the caller's alone; one of the
// caller's own that lacks rights for its owner gets them back.
bool resolve_socket_path(const std::string& option, bool create_dir,
                         std::string* path, std::string* err);

// The socket a service holds, and the lock that makes it the only one.
struct Listening {
  int fd = -1;       // listening, non-blocking
  int lock_fd = -1;  // holds the lock on `path` + ".lock" while open
  ino_t inode = 0;   // of the socket file, to remove only our own
};

// Takes `path` for a service: locks `path` + ".lock" (a second service on
// the same path fails with *busy set), binds and listens on a temporary name
// beside it (mode 0600) and renames that into place, so the socket appears
// only once it accepts connections.  A stale socket left by a service that
// died is replaced.  Returns false with *err set on failure.
bool listen_socket(const std::string& path, Listening* out, bool* busy,
                   std::string* err);

// The listening socket that systemd's socket activation passed ($LISTEN_PID
// is this process, $LISTEN_FDS is 1: descriptor 3), made non-blocking, or -1
// when none was passed; -1 with *err set when the one passed is not a
// listening Unix seqpacket socket.  Unsets those variables either way.
int activated_socket(std::string* err);

// Removes the socket (if it is still ours) and the lock file, then releases
// the lock.
void unlisten_socket(const std::string& path, Listening* listening);

// Connects to the service, waiting at most `timeout_seconds` for it to
// accept.  Returns the fd, or -1 with errno set (ENOENT or ECONNREFUSED mean
// that no service is loaded there, EAGAIN that it did not accept in time).
int connect_socket(const std::string& path, int timeout_seconds);

// The one rule for who may use a service, and whose service a client may
// use: this process's user, or root.
bool uid_is_trusted(uid_t uid);

// Checks that the peer of a connected socket runs as this process's user or
// as root, the only ones a client may hand anything to.  Returns false with
// *err naming the user that serves `path`.
bool peer_is_trusted(int fd, const std::string& path, std::string* err);

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

// Tells whether `fd` is a seccomp notification listener.
bool is_seccomp_listener(int fd);

// One request to the service at `path` and its reply.  Returns 0, or the
// errno of what failed: ENOENT/ECONNREFUSED when no service is loaded,
// ECONNRESET/EPIPE when it went away before it answered, ETIMEDOUT when it
// did not accept or answer in time, EACCES when another user serves it
// (nothing is sent then), the service's own refusal otherwise.  *err
// describes the failure.
int ask_service(const std::string& path, Verb verb, int pass_fd, Reply* reply,
                std::string* err);

// Asks the service at `path` for its trace.  Returns the connection, on
// which messages of whole TraceEvents follow until the service ends, or -1
// with *err set.
int open_trace(const std::string& path, std::string* err);

}  // namespace elevmod
