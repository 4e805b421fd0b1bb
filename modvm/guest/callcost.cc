// callcost: what an elevator call costs in the guest, against getpid, and
// how the calls scale from one CPU to two.  Each measurement makes calls for
// a fixed time on threads pinned to CPUs 0 and 1, so that a slow guest
// (emulated, with the bug finders on) measures fewer calls, not a longer
// run; each is taken three times, interleaved with the others, and the
// best kept, so that a moment's noise (a timer, the host) weighs least.
// The call is a request the module refuses (type 3), which every
// module answers at once, so the figures are the system call's own path.
//
//   callcost [SECONDS]   each of the four measurements for SECONDS
//                        (default 1), three times; prints the figures

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "calls.h"

namespace {

constexpr long kRequest = cabgate::kRequestCall;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool pin(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

struct Rate {
  double per_second = 0;
  bool answered = true;  // every call returned what was expected
};

// Calls per second over `seconds`, on `cpus` threads (CPU 0, then 1)
// started together.
Rate measure(long nr, int cpus, double seconds) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<long> counts(static_cast<std::size_t>(cpus));
  std::vector<bool> right(static_cast<std::size_t>(cpus), true);
  std::vector<std::thread> threads;
  double began = 0, ended = 0;
  for (int cpu = 0; cpu < cpus; ++cpu) {
    threads.emplace_back([&, cpu] {
      pin(cpu);
      ready.fetch_add(1);
      while (!go.load())
        sched_yield();
      long n = 0;
      bool ok = true;
      double until = began + seconds;
      for (;;) {
        for (int i = 0; i < 1000; ++i) {
          long ret = nr == kRequest ? syscall(nr, 3, 1, 2) : syscall(nr);
          ok = ok && (nr == kRequest ? ret == 1 : ret > 0);
        }
        n += 1000;
        if (now() >= until)
          break;
      }
      counts[static_cast<std::size_t>(cpu)] = n;
      right[static_cast<std::size_t>(cpu)] = ok;
    });
  }
  while (ready.load() < cpus)
    sched_yield();
  began = now();
  go.store(true);
  for (std::thread& t : threads)
    t.join();
  ended = now();
  Rate rate;
  long total = 0;
  for (int cpu = 0; cpu < cpus; ++cpu) {
    total += counts[static_cast<std::size_t>(cpu)];
    rate.answered = rate.answered && right[static_cast<std::size_t>(cpu)];
  }
  rate.per_second = static_cast<double>(total) / (ended - began);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 1;
  if (argc > 2 || seconds <= 0) {
    std::fputs("usage: callcost [SECONDS]\n", stderr);
    return 2;
  }
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || !pin(1) || !pin(0)) {
    std::fputs("callcost: needs CPUs 0 and 1\n", stderr);
    return 1;
  }
  Rate getpid1, call1, getpid2, call2;
  auto best = [](Rate* kept, Rate taken) {
    kept->per_second = std::max(kept->per_second, taken.per_second);
    kept->answered = kept->answered && taken.answered;
  };
  for (int round = 0; round < 3; ++round) {
    best(&getpid1, measure(SYS_getpid, 1, seconds));
    best(&call1, measure(kRequest, 1, seconds));
    best(&getpid2, measure(SYS_getpid, 2, seconds));
    best(&call2, measure(kRequest, 2, seconds));
  }
  if (!call1.answered || !call2.answered) {
    std::fputs("callcost: a refused request (type 3) was not answered 1: is a module loaded?\n",
               stderr);
    return 1;
  }
  std::printf("one CPU: getpid %.2f us, elevator request %.2f us: %.2fx getpid\n",
              1e6 / getpid1.per_second, 1e6 / call1.per_second,
              getpid1.per_second / call1.per_second);
  std::printf("two CPUs at once: elevator requests %.2fx one CPU's, getpid %.2fx\n",
              call2.per_second / call1.per_second, getpid2.per_second / getpid1.per_second);
  return 0;
}
