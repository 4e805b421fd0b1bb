#include "service/disposal.h"

#include <pthread.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace elevmod {

namespace {

struct Closer {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<int> fds;
  bool started = false;
};

Closer& closer() {
  static Closer* instance = new Closer;  // lives as long as its thread
  return *instance;
}

void* close_loop(void*) {
  Closer& c = closer();
  for (;;) {
    int fd;
    {
      std::unique_lock lock(c.mutex);
      c.ready.wait(lock, [&] { return !c.fds.empty(); });
      fd = c.fds.front();
      c.fds.pop_front();
    }
    close(fd);
  }
  return nullptr;
}

}  // namespace

void dispose(UniqueFd fd) {
  if (!fd)
    return;
  struct stat st;
  if (fstat(fd.get(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    linger none{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &none, sizeof none);
  }
  Closer& c = closer();
  std::lock_guard lock(c.mutex);
  if (!c.started) {
    // Started on first use, in the process that serves (after any fork).
    // Every signal stays blocked there.
    pthread_t thread;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    c.started = pthread_create(&thread, nullptr, close_loop, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (c.started)
      pthread_detach(thread);
  }
  if (c.started) {
    c.fds.push_back(fd.release());
    c.ready.notify_one();
  }
  // With no thread to close on, the linger gone is the best there is.
}

}  // namespace elevmod
