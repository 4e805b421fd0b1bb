#include "service/attachments.h"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "service/log.h"
#include "wire/errors.h"

namespace elevmod {

namespace {

// Interrupts a listener thread's wait, so that it sees stop_all().
constexpr int kWakeSignal = SIGUSR1;
// A listener thread needs little: the receive buffers are on the heap.
constexpr size_t kThreadStack = 64 * 1024;

void on_wake(int) {}

int compare_files(int a, int b) {
  pid_t self = getpid();
  return static_cast<int>(syscall(SYS_kcmp, self, self, KCMP_FILE, a, b));
}

bool kcmp_works() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0)
    return false;
  UniqueFd read_end(p[0]), write_end(p[1]);
  return compare_files(p[0], p[0]) == 0 && compare_files(p[0], p[1]) > 0;
}

}  // namespace

struct Attachments::Start {
  Attachments* self;
  int fd;
  bool blocking;
};

bool Attachments::SameFile::operator()(int a, int b) const {
  if (!by_file)
    return a < b;
  // kcmp orders open files consistently: 1 when a's comes first.
  return compare_files(a, b) == 1;
}

Attachments::Attachments(CallHandler handler)
    : handler_(std::move(handler)), files_(SameFile{kcmp_works()}) {
  struct sigaction action {};
  action.sa_handler = on_wake;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the wait must end with EINTR
  sigaction(kWakeSignal, &action, nullptr);
}

Attachments::~Attachments() { stop_all(); }

void Attachments::set_limit(size_t limit) {
  std::lock_guard lock(mutex_);
  limit_ = limit;
}

size_t Attachments::count() const {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

int Attachments::add(UniqueFd listener) {
  std::lock_guard lock(mutex_);
  int fd = listener.get();
  if (stopping_)
    return ESHUTDOWN;
  if (threads_.size() >= limit_)
    return EMFILE;
  if (!files_.insert(fd).second)
    return EEXIST;
  auto* start = new Start{this, fd, set_sync_wakeup(fd)};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kThreadStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int error = pthread_create(&thread, &attr, thread_main, start);
  pthread_attr_destroy(&attr);
  if (error) {
    delete start;
    files_.erase(fd);
    return EAGAIN;
  }
  // The thread cannot reach finished() before this: it needs mutex_.  The
  // listener closes when the thread ends.
  threads_[fd] = Entry{thread, std::move(listener)};
  return 0;
}

void* Attachments::thread_main(void* arg) {
  Start start = *static_cast<Start*>(arg);
  delete static_cast<Start*>(arg);
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, kWakeSignal);
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
  start.self->serve(start.fd, start.blocking);
  start.self->finished(start.fd);
  return nullptr;
}

void Attachments::serve(int fd, bool blocking) {
  // Where the kernel has the synchronous wake-up (Linux 6.6+), the thread
  // waits in the receive itself, which such a kernel also ends when the
  // listener's processes are gone.  Older ones wake a blocked receive only
  // for a call, so there the thread waits in poll(), which sees the hang-up.
  Notifier notifier;
  while (!stopping_.load(std::memory_order_relaxed)) {
    if (!blocking) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, -1) < 0)
        continue;  // EINTR: look at stopping_ again
      if (!(p.revents & POLLIN))
        return;
    }
    Notification note;
    int rc = notifier.receive(fd, &note);
    if (rc == 0) {
      handler_(fd, notifier, note);
    } else if (rc == ENOENT) {
      // The caller went away before we read its call, or everyone did.
      if (listener_hung_up(fd))
        return;
    } else if (rc != EINTR) {
      warn("receiving on a listener: %s; dropping it", errno_text(rc).c_str());
      return;
    }
  }
}

void Attachments::finished(int fd) {
  std::lock_guard lock(mutex_);
  files_.erase(fd);  // while fd is open: the order compares open files
  // Closing the last copy of a listener makes its processes' calls fail
  // with ENOSYS.
  threads_.erase(fd);
  ended_.notify_all();
}

void Attachments::stop_all() {
  stopping_ = true;
  std::unique_lock lock(mutex_);
  // A thread between its look at stopping_ and its wait misses the signal,
  // so it is sent again until every thread has ended.
  while (!threads_.empty()) {
    for (auto& [fd, entry] : threads_)
      pthread_kill(entry.thread, kWakeSignal);
    ended_.wait_for(lock, std::chrono::milliseconds(10));
  }
}

}  // namespace elevmod
