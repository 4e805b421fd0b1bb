// Releasing what peers handed over, away from the thread that must not
// block (the service's loop, a client waiting for its interrupts).  The
// last close of a descriptor may wait for as long as a peer likes: a socket
// that lingers, or a socket whose queue holds such a socket (closing it
// releases what it holds), or a file whose file system stalls.  So neither
// end closes anything of a peer's itself: it hands it here, where threads
// close it, as many threads as closes are blocked, up to a bound.  A close
// that blocks holds up its own thread and nothing else, and a thread still
// blocked when the process ends ends with it.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "wire/unique_fd.h"

namespace elevmod {

class Releaser {
 public:
  // At most `max_threads` close at once; what comes beyond them waits.
  explicit Releaser(size_t max_threads);
  // Threads still blocked in a close are left to end with the process.
  ~Releaser();
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;

  // Closes `fds` on a releasing thread, in order; a socket among them loses
  // its linger first.  Never blocks the caller, and takes whatever it is
  // given: the caller bounds what it hands over by held().
  void release(std::vector<UniqueFd> fds);
  void release(UniqueFd fd);

  // Closes a peer's connection on a releasing thread, after taking what
  // waits in it unread (its descriptors dropped there): a Unix socket closed
  // with messages unread resets its peer, which would lose the answer it
  // was sent.
  void release_connection(UniqueFd connection);

  // Descriptors handed over and not yet closed.
  size_t held() const;
  // Threads started, idle or closing (and perhaps blocked there).
  size_t threads() const;

 private:
  struct Shared;
  struct Job;
  static void* thread_main(void* shared);
  void add(Job job);
  std::shared_ptr<Shared> shared_;  // the threads hold it too
};

}  // namespace elevmod
