// The client side of the service's socket: connecting within a bound,
// checking who serves before handing anything over, one request and its
// reply, and the trace.
#pragma once

#include <signal.h>
#include <sys/types.h>

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
// user that serves `path`; *pid, when given, gets the peer's pid.
bool peer_is_trusted(int fd, const std::string& path, bool read_only,
                     std::string* err, pid_t* pid = nullptr);

// One request to the service at `path` and its reply.  Returns 0, or the
// errno of what failed: ENOENT/ECONNREFUSED when no service is loaded,
// ECONNRESET/EPIPE when a service was there but hung up before it answered,
// ETIMEDOUT when it did not accept or answer in time, EACCES when another
// user serves it (nothing is sent then), EBADMSG when it sent descriptors
// (never taken), the service's own refusal otherwise (EAGAIN: busy for now;
// EMFILE: out of descriptors).  *err describes the failure.
//
// Every wait (to connect, to send, for the answer) is made with the signal
// mask `wait_mask` when it is given: a signal it lets through and that has
// a handler ends the wait, and the ask, with EINTR.  Nothing of the
// service's is ever closed on the caller's thread, so no peer can make the
// ask block where its signals cannot end it.
int ask_service(const std::string& path, Verb verb, int pass_fd, Reply* reply,
                std::string* err, const sigset_t* wait_mask = nullptr);

// True for the errors of ask_service() that mean no service is loaded.
inline bool no_service(int error) {
  return error == ENOENT || error == ECONNREFUSED;
}

// Asks the service at `path` for its trace, waiting as ask_service() does.
// Returns the connection, on which messages of whole TraceEvents follow
// until the service ends (read them with receive_plain_message()), or none
// with *err set.  Give it back to close_connection() when done.
UniqueFd open_trace(const std::string& path, std::string* err,
                    const sigset_t* wait_mask = nullptr);

// Closes a connection to a service away from the caller's thread (what it
// holds unread may carry descriptors whose release would block).
void close_connection(UniqueFd connection);

}  // namespace elevmod
