// sendclock: an LD_PRELOAD shim that times the producer's sending phase.
// The producer reads the time of day exactly twice, just before its first
// request and just after its last; the shim notes the monotonic clock at
// both and writes the difference in nanoseconds to $SENDCLOCK_OUT.  It also
// skips the three-second pause and the window's sleep, which are not part
// of what is measured.

#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int calls = 0;
long long first_ns = 0;

long long now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

}  // namespace

extern "C" int gettimeofday(struct timeval* tv, void* tz) {
  using Real = int (*)(struct timeval*, void*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gettimeofday"));
  long long ns = now_ns();
  if (++calls == 1) {
    first_ns = ns;
  } else if (calls == 2) {
    if (const char* out = std::getenv("SENDCLOCK_OUT")) {
      if (FILE* f = std::fopen(out, "w")) {
        std::fprintf(f, "%lld\n", ns - first_ns);
        std::fclose(f);
      }
    }
  }
  return real(tv, tz);
}

extern "C" int usleep(useconds_t) { return 0; }

extern "C" int system(const char* command) {
  using Real = int (*)(const char*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "system"));
  if (command && std::strcmp(command, "sleep 3") == 0)
    return 0;
  return real(command);
}
