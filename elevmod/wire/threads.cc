#include "wire/threads.h"

#include <pthread.h>
#include <signal.h>

namespace elevmod {

int start_quiet_thread(void* (*run)(void*), void* arg, size_t stack_bytes) {
  // A new thread takes its creator's mask: block everything around it.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_bytes > 0)
    pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, run, arg);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return rc;
}

}  // namespace elevmod
