// The client side of the service's socket: connecting within a bound,
// checking who serves before handing anything over, one request and its
// reply, and the trace.
#pragma once

#include <cerrno>
#include <string>

#include "wire/unique_fd.h"
#include "wire/wire.h"

namespace elevmod {

// How long a client waits for the service to accept it, and then to answer.
constexpr int kClientTimeoutSeconds = 10;

// Connects to the service, waiting at most `timeout_seconds` for it to
// accept.  Returns the connection, or none with errno set (ENOENT or
// ECONNREFUSED mean that no service is loaded there, EAGAIN that it did not
// accept in time).
UniqueFd connect_socket(const std::string& path, int timeout_seconds);

// Checks that the peer of a connected socket runs as this process's user or
// as root, the only ones a client may hand anything to; root may also read
// (`read_only`) another user's service.  Returns false with *err naming the
// user that serves `path`.
bool peer_is_trusted(int fd, const std::string& path, bool read_only,
                     std::string* err);

// One request to the service at `path` and its reply.  Returns 0, or the
// errno of what failed: ENOENT/ECONNREFUSED when no service is loaded,
// ECONNRESET/EPIPE when a service was there but hung up before it answered,
// ETIMEDOUT when it did not accept or answer in time, EACCES when another
// user serves it (nothing is sent then), the service's own refusal
// otherwise (EAGAIN: busy for now; EMFILE: out of descriptors).  *err
// describes the failure.
int ask_service(const std::string& path, Verb verb, int pass_fd, Reply* reply,
                std::string* err);

// True for the errors of ask_service() that mean no service is loaded.
inline bool no_service(int error) {
  return error == ENOENT || error == ECONNREFUSED;
}

// Asks the service at `path` for its trace.  Returns the connection, on
// which messages of whole TraceEvents follow until the service ends, or
// none with *err set.
UniqueFd open_trace(const std::string& path, std::string* err);

}  // namespace elevmod
