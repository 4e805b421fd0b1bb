// The seccomp side of elevmod: the filter that hands the elevator calls to a
// listener, and receiving and answering the notifications on that listener.
#pragma once

#include <cstdint>
#include <string>

#include "model/elevator.h"
#include "wire/unique_fd.h"

namespace elevmod {

// True when the kernel and libseccomp support user notification; false with
// *err saying what is missing.
bool notification_supported(std::string* err);

// Installs, on the calling process and everything it later starts, a filter
// that sends calls 323, 324 and 325 of the x86-64 ABI to user notification
// and lets everything else through.  Returns 0 with the new listener in
// *listener (the caller's to close), or an errno: EBUSY when the process already runs under a filter
// with a live listener, EOPNOTSUPP without user notification.  *err says
// what failed.
int install_filter(UniqueFd* listener, std::string* err);

// Tells whether `fd` is a seccomp notification listener.
bool is_seccomp_listener(int fd);

// One notification as received.
struct Notification {
  uint64_t id = 0;
  uint32_t pid = 0;
  bool ours = false;  // an x86-64 call with one of the three numbers
  Call call;
};

// Receiving and answering on listeners.  Holds receive and answer buffers
// sized as the running kernel wants them; one per thread.
class Notifier {
 public:
  Notifier();
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // True once libseccomp has probed the kernel's notification support.
  bool usable(std::string* err) const;

  // Receives one pending notification.  Returns 0, or an errno: ENOENT when
  // the caller went away before it could be read.
  int receive(int listener, Notification* out);

  // Answers a call with `value` as its return value, or with -1 and errno
  // `error` when `error` is non-zero.  Returns 0, or an errno: ENOENT when
  // the caller went away or was interrupted and the answer was lost.
  int respond(int listener, uint64_t id, int64_t value, int error);

 private:
  void* request_ = nullptr;
  void* response_ = nullptr;
  size_t request_size_ = 0;
};

// True once every process under the listener's filter is gone (it polls
// without waiting).
bool listener_hung_up(int listener);

// Asks the kernel to wake the caller on the answering CPU (Linux 6.6 and
// later), which cuts a round trip severalfold; older kernels keep working
// without it.  True when the kernel took it: such a kernel also ends a
// blocking receive once every process under the listener's filter is gone.
bool set_sync_wakeup(int listener);

}  // namespace elevmod
