#include "wire/releaser.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "wire/framing.h"
#include "wire/threads.h"

namespace elevmod {

struct Releaser::Job {
  std::vector<UniqueFd> fds;
  bool drain = false;  // fds is one connection, to be drained first
};

struct Releaser::Shared {
  size_t max_threads;
  mutable std::mutex mutex;  // guards everything below
  std::condition_variable ready;
  std::deque<Job> jobs;
  size_t held = 0;
  size_t threads = 0;
  size_t idle = 0;
  bool stopping = false;
};

namespace {

// Most messages taken from a connection before it is closed regardless.
constexpr int kDrainMessages = 64;
// Threads kept when there is nothing to close, and how long the others
// stay idle before they end.
constexpr size_t kIdleThreads = 4;
constexpr std::chrono::seconds kIdleEnd{10};
// A releasing thread only closes.
constexpr size_t kThreadStack = 64 * 1024;

// A socket closed with no linger never waits for its peer to take what it
// has queued.
void drop_linger(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) {
    linger none{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &none, sizeof none);
  }
}

// Takes what waits unread in a connection.  The descriptors that came with
// it are taken too, so that each loses its linger before this thread makes
// its last close; only those that do not fit in this process's table are
// dropped by the kernel as they are.
void drain(int fd) {
  for (int i = 0; i < kDrainMessages; ++i) {
    std::vector<UniqueFd> passed;
    if (!take_message(fd, &passed))
      return;
    for (const UniqueFd& one : passed)
      drop_linger(one.get());
  }
}

}  // namespace

void* Releaser::thread_main(void* arg) {
  auto* held = static_cast<std::shared_ptr<Shared>*>(arg);
  std::shared_ptr<Shared> shared = std::move(*held);
  delete held;
  std::unique_lock lock(shared->mutex);
  for (;;) {
    ++shared->idle;
    bool work = shared->ready.wait_for(lock, kIdleEnd, [&] {
      return shared->stopping || !shared->jobs.empty();
    });
    --shared->idle;
    // Stopping with nothing left, or one of many idle for a while: the
    // threads a burst of blocked closes called for go once it is over.
    if (shared->jobs.empty()) {
      if (work || shared->threads > kIdleThreads)
        break;
      continue;
    }
    Job job = std::move(shared->jobs.front());
    shared->jobs.pop_front();
    for (UniqueFd& fd : job.fds) {
      lock.unlock();
      if (job.drain)
        drain(fd.get());
      drop_linger(fd.get());
      fd.reset();
      lock.lock();
      --shared->held;
    }
  }
  --shared->threads;
  return nullptr;
}

Releaser::Releaser(size_t max_threads) : shared_(std::make_shared<Shared>()) {
  shared_->max_threads = max_threads;
}

Releaser::~Releaser() {
  std::lock_guard lock(shared_->mutex);
  shared_->stopping = true;
  shared_->ready.notify_all();
}

void Releaser::release(UniqueFd fd) {
  std::vector<UniqueFd> job;
  job.push_back(std::move(fd));
  release(std::move(job));
}

void Releaser::release_connection(UniqueFd connection) {
  Job job;
  job.fds.push_back(std::move(connection));
  job.drain = true;
  add(std::move(job));
}

void Releaser::release(std::vector<UniqueFd> fds) {
  Job job;
  job.fds = std::move(fds);
  add(std::move(job));
}

void Releaser::add(Job job) {
  std::erase_if(job.fds, [](const UniqueFd& fd) { return !fd; });
  if (job.fds.empty())
    return;
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  s.held += job.fds.size();
  s.jobs.push_back(std::move(job));
  // Every thread may be blocked in a close: then a new one takes this.
  if (s.idle < s.jobs.size() && s.threads < s.max_threads) {
    auto* arg = new std::shared_ptr<Shared>(shared_);
    if (start_quiet_thread(thread_main, arg, kThreadStack) == 0)
      ++s.threads;
    else
      delete arg;  // the threads there are take it in turn
  }
  s.ready.notify_one();
}

size_t Releaser::held() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->held;
}

size_t Releaser::threads() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->threads;
}

}  // namespace elevmod
