// callstorm: calls the elevator as fast as it answers, for a given number of
// seconds, and sums up what it was told; the modvm checks run several at
// once to give the kernel's bug finders a chance to see a race.
//
//   callstorm requests SECONDS   passenger requests, valid ones and, every
//                                eighth, one with a value out of range
//   callstorm toggle SECONDS     start and stop, by turns
//
// Prints one line, "MODE calls N: 0=A 1=B ENOSYS=C bad=D", and, if any
// answer was something else (an error other than ENOSYS, a value other
// than 0 or 1), a second line with the first of them:
// "first bad: request(0, 1, 2) answered -1 EINVAL".

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr long kStart = 323;
constexpr long kRequest = 324;
constexpr long kStop = 325;

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct Tally {
  long calls = 0, zero = 0, one = 0, enosys = 0, bad = 0;
  std::string first_bad;
};

void count(Tally& tally, const std::string& what, long result, int error) {
  ++tally.calls;
  if (result == 0) {
    ++tally.zero;
  } else if (result == 1) {
    ++tally.one;
  } else if (result == -1 && error == ENOSYS) {
    ++tally.enosys;
  } else {
    if (tally.bad++ == 0) {
      tally.first_bad = what + " answered " + std::to_string(result);
      if (result == -1) {
        const char* name = strerrorname_np(error);
        tally.first_bad += std::string(" ") + (name ? name : "E?");
      }
    }
  }
}

int usage() {
  std::fputs("usage: callstorm requests|toggle SECONDS\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3)
    return usage();
  std::string mode = argv[1];
  char* end = nullptr;
  double seconds = std::strtod(argv[2], &end);
  if ((mode != "requests" && mode != "toggle") || *end || seconds <= 0)
    return usage();

  Tally tally;
  std::srand(static_cast<unsigned>(getpid()));
  double until = now() + seconds;
  for (long i = 0; now() < until; ++i) {
    if (mode == "toggle") {
      long nr = i % 2 ? kStop : kStart;
      long result = syscall(nr);
      count(tally, nr == kStart ? "start()" : "stop()", result, errno);
      usleep(1000);
      continue;
    }
    int type = std::rand() % 3;
    int start = 1 + std::rand() % 10;
    int dest = 1 + (start + std::rand() % 9) % 10;
    if (i % 8 == 7) {
      static const int kOut[] = {0, 11, -1, -2147483647 - 1, 2147483647};
      int out = kOut[std::rand() % 5];
      if (std::rand() % 2)
        type = out == 0 ? 3 : out;
      else
        start = out;
    }
    long result = syscall(kRequest, type, start, dest);
    std::string what = "request(" + std::to_string(type) + ", " +
                       std::to_string(start) + ", " + std::to_string(dest) +
                       ")";
    count(tally, what, result, errno);
  }
  std::printf("%s calls %ld: 0=%ld 1=%ld ENOSYS=%ld bad=%ld\n", mode.c_str(),
              tally.calls, tally.zero, tally.one, tally.enosys, tally.bad);
  if (tally.bad)
    std::printf("first bad: %s\n", tally.first_bad.c_str());
  return 0;
}
