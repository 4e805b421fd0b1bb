// Writing standard output for a follower, on a thread of its own: a reader
// that stops reading (a terminal paused with ^S, a pipe nobody empties)
// blocks that thread, never the follower, which waits for each write with
// its interrupts let through and so still ends at once on ^C.
#pragma once

#include <signal.h>

#include <memory>
#include <string>

namespace elevmod {

class Writer {
 public:
  enum class Result { written, interrupted, failed };

  // Starts the writing thread; false with *err set when it cannot.
  bool start(std::string* err);

  // Writes all of `text` to standard output, waiting with the signal mask
  // `wait_mask`: `interrupted` as soon as a signal it lets through arrives
  // (the text may then be written later, or never), `failed` with *err set
  // when standard output takes no more, or when `timeout_ms` (if >= 0)
  // passes first.
  Result write(const std::string& text, const sigset_t* wait_mask,
               std::string* err, int timeout_ms = -1);

 private:
  struct Shared;
  static void* thread_main(void* shared);
  // Shared with the thread, which is left to end with the process when it
  // is blocked in a write.
  std::shared_ptr<Shared> shared_;
};

}  // namespace elevmod
