// The seccomp listeners handed to the service.  Each is served by a thread
// of its own that waits in the kernel's receive, so a call costs the same
// however many processes are attached, and a listener that misbehaves (one
// whose notifications somebody else takes, say) holds up nobody but the
// processes under it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <unordered_map>

#include "wire/notify.h"
#include "wire/unique_fd.h"

namespace elevmod {

// Answers one notification received on `listener`, on that listener's
// thread; calls on different listeners may come at the same time.
using CallHandler =
    std::function<void(int listener, Notifier& notifier,
                       const Notification& note)>;

class Attachments {
 public:
  explicit Attachments(CallHandler handler);
  ~Attachments();  // detaches everyone, as stop_all()
  Attachments(const Attachments&) = delete;
  Attachments& operator=(const Attachments&) = delete;

  // At most this many listeners at once (each holds a descriptor).
  void set_limit(size_t limit);

  // Takes over `listener` and starts serving it.  Returns 0, or an errno
  // with the listener closed: EEXIST when the same listener is attached
  // already, EMFILE beyond the limit, EAGAIN when no thread could be
  // started, ESHUTDOWN once stop_all() has begun.
  int add(UniqueFd listener);

  size_t count() const;

  // Detaches every listener: returns once each thread has ended and each
  // listener is closed, so the processes under them get ENOSYS from then on.
  void stop_all();

 private:
  // Orders listeners by the open file behind them (kcmp), so that copies of
  // one listener compare equal; by descriptor where the kernel lacks kcmp.
  struct SameFile {
    bool by_file;
    bool operator()(int a, int b) const;
  };
  struct Start;

  static void* thread_main(void* start);
  void serve(int fd, bool blocking);
  void finished(int fd);

  CallHandler handler_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable ended_;
  size_t limit_ = 0;
  // A listener and the thread that serves it, by descriptor.
  struct Entry {
    pthread_t thread;
    UniqueFd listener;
  };
  std::set<int, SameFile> files_;  // the entries' listeners, by open file
  std::unordered_map<int, Entry> threads_;
};

}  // namespace elevmod
