// Starting a helper thread that no signal is ever delivered to: the
// process's own threads take them (in their waits, or through a signalfd).
#pragma once

#include <cstddef>

namespace elevmod {

// Starts `run(arg)` on a detached thread with every signal blocked, with a
// stack of `stack_bytes` (0: the default).  Returns 0, or the error of
// pthread_create (the thread did not start; `arg` is still the caller's).
int start_quiet_thread(void* (*run)(void*), void* arg, size_t stack_bytes);

}  // namespace elevmod
