#include "cli/writer.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "wire/deadline.h"
#include "wire/errors.h"
#include "wire/threads.h"
#include "wire/unique_fd.h"

namespace elevmod {

struct Writer::Shared {
  UniqueFd done;  // an eventfd: one count per text written (or failed)
  std::mutex mutex;  // guards the rest
  std::condition_variable ready;
  std::string text;
  bool pending = false;
  int error = 0;
};

void* Writer::thread_main(void* arg) {
  auto* held = static_cast<std::shared_ptr<Shared>*>(arg);
  std::shared_ptr<Shared> shared = std::move(*held);
  delete held;
  for (;;) {
    std::string text;
    {
      std::unique_lock lock(shared->mutex);
      shared->ready.wait(lock, [&] { return shared->pending; });
      text = std::move(shared->text);
    }
    int error = 0;
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(STDOUT_FILENO, text.data() + done,
                          text.size() - done);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0) {
        error = errno;
        break;
      }
      done += static_cast<size_t>(n);
    }
    {
      std::lock_guard lock(shared->mutex);
      shared->pending = false;
      shared->error = error;
    }
    uint64_t one = 1;
    if (::write(shared->done.get(), &one, sizeof one) < 0) {
      // Cannot happen short of a count near 2^64.
    }
  }
  return nullptr;
}

bool Writer::start(std::string* err) {
  auto shared = std::make_shared<Shared>();
  shared->done.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!shared->done) {
    *err = "eventfd: " + errno_text(errno);
    return false;
  }
  // No signal is ever handled on the writing thread: the follower's own
  // thread takes them in its waits.
  auto* arg = new std::shared_ptr<Shared>(shared);
  int rc = start_quiet_thread(thread_main, arg, 0);
  if (rc != 0) {
    delete arg;
    *err = "cannot start a thread: " + errno_text(rc);
    return false;
  }
  shared_ = std::move(shared);
  return true;
}

Writer::Result Writer::write(const std::string& text,
                             const sigset_t* wait_mask, std::string* err,
                             int timeout_ms) {
  Shared& s = *shared_;
  {
    std::lock_guard lock(s.mutex);
    if (s.pending) {
      // The last write was given up on and still blocks: nothing more goes
      // until it is through.
      *err = "cannot write to standard output: it takes nothing";
      return Result::failed;
    }
    s.text = text;
    s.pending = true;
  }
  s.ready.notify_one();
  const int64_t until =
      timeout_ms < 0 ? kNoDeadline : monotonic_ms() + timeout_ms;
  for (;;) {
    int waited = wait_ready(s.done.get(), POLLIN, until, wait_mask);
    if (waited == EINTR)
      return Result::interrupted;
    if (waited == ETIMEDOUT) {
      *err = "cannot write to standard output: it took nothing for " +
             std::to_string(timeout_ms) + " ms";
      return Result::failed;
    }
    uint64_t count;
    if (read(s.done.get(), &count, sizeof count) < 0)
      continue;
    std::lock_guard lock(s.mutex);
    if (s.pending)
      continue;  // a count left by a write given up on before
    if (s.error == 0)
      return Result::written;
    // As a write of the caller's own would: a reader that went away ends
    // the process, unless SIGPIPE is ignored.
    if (s.error == EPIPE)
      raise(SIGPIPE);
    *err = "cannot write to standard output: " + errno_text(s.error);
    return Result::failed;
  }
}

}  // namespace elevmod
