// Messages on the service's seqpacket sockets, with descriptors passed
// alongside (SCM_RIGHTS).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "wire/unique_fd.h"

namespace elevmod {

// Most descriptors a request may carry; a message with more is refused.
constexpr size_t kMaxPassedFds = 4;

// Sends one message, with `pass_fd` (still the caller's) as SCM_RIGHTS when
// it is >= 0.
bool send_message(int fd, const void* data, size_t size, int pass_fd);

// Receives one message, keeping at most `size` bytes.  Returns its full
// length (more than `size` when it did not fit), 0 at EOF, -1 on error
// (errno set).  A passed fd lands in *passed when that is non-null; any
// other passed fds are closed here.  *truncated is set when the message or
// its descriptors did not fit.  For a client reading what its own service
// sends, never for what a peer that is not trusted sends: the kernel
// releases what does not fit right here.
ssize_t receive_message(int fd, void* data, size_t size, UniqueFd* passed,
                        bool* truncated);

// The client's side, for what a service sends, which never carries a
// descriptor: a message that does is left where it is, untaken (-1, errno
// EBADMSG), so that none of a peer's ever lands in this process's table or
// is released here.  Otherwise as receive_message() without descriptors;
// never waits (-1 with EAGAIN when nothing is there).
ssize_t receive_plain_message(int fd, void* data, size_t size,
                              bool* truncated);

// The service's side.  Releasing a descriptor may wait for as long as its
// sender likes (the last close of a socket that lingers), so the service
// never lets the kernel release one of a peer's where it reads:
// peek_message() looks at the next message without taking it, copying the
// descriptors it carries (up to kMaxPassedFds) into *fds; while the message
// is queued, it holds its own references, so these copies never hold the
// last.  *more is set when it carries descriptors that did not all fit
// (more than kMaxPassedFds, or this process's table is full).  Returns as
// receive_message() does.
ssize_t peek_message(int fd, void* data, size_t size,
                     std::vector<UniqueFd>* fds, bool* more);

// Takes the next message whatever it holds, without waiting, its
// descriptors (as many as one message can carry) landing in *fds as this
// process's own.  For releasing what waits in a connection: nothing of it
// is read.  False when there was none to take (or at EOF).
bool take_message(int fd, std::vector<UniqueFd>* fds);

// Takes the message that peek_message() looked at, dropping the queue's
// references to its descriptors: after a peek without *more, the copies
// still hold each, so no release here is the last.  False on error.
bool discard_message(int fd);

}  // namespace elevmod
