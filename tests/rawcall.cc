// rawcall: makes one raw system call and prints its raw result, so that a
// test can see exactly what a caller of 323, 324 or 325 gets.
//
//   rawcall NR [ARG...]            one call, prints the result
//   rawcall -n COUNT NR [ARG...]   COUNT calls, prints "RESULT COUNT" for
//                                  each distinct result, in order of first
//                                  appearance
//   rawcall -t -n COUNT NR ...     the same, then the nanoseconds the calls
//                                  took in all, on a line "ns TOTAL"
//   rawcall -e NR [ARG...]         one call, and after a result of -1 the
//                                  error's name: "-1 ENOSYS"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool parse(const char* text, long* out) {
  char* end = nullptr;
  errno = 0;
  *out = std::strtol(text, &end, 0);
  return *text && !*end && errno == 0;
}

int usage() {
  std::fputs("usage: rawcall [-e | [-t] -n COUNT] NR [ARG...] (at most 6 ARGs)\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  long count = 1;
  bool summary = false, timed = false;
  if (argc > 1 && std::strcmp(argv[1], "-e") == 0) {
    long nr, args[6] = {};
    if (argc < 3 || argc > 9 || !parse(argv[2], &nr))
      return usage();
    for (int i = 3; i < argc; ++i)
      if (!parse(argv[i], &args[i - 3]))
        return usage();
    long result = syscall(nr, args[0], args[1], args[2], args[3], args[4],
                          args[5]);
    if (result == -1) {
      const char* name = strerrorname_np(errno);
      std::printf("-1 %s\n", name ? name : "E?");
    } else {
      std::printf("%ld\n", result);
    }
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "-t") == 0) {
    timed = true;
    first = 2;
  }
  if (argc > first + 1 && std::strcmp(argv[first], "-n") == 0) {
    if (!parse(argv[first + 1], &count) || count < 1)
      return usage();
    summary = true;
    first += 2;
  }
  if (timed && !summary)
    return usage();
  long nr;
  if (first >= argc || !parse(argv[first], &nr) || argc - first - 1 > 6)
    return usage();
  long args[6] = {};
  for (int i = first + 1; i < argc; ++i)
    if (!parse(argv[i], &args[i - first - 1]))
      return usage();

  std::vector<std::pair<long, long>> seen;
  timespec begin, end;
  clock_gettime(CLOCK_MONOTONIC, &begin);
  for (long i = 0; i < count; ++i) {
    long result = syscall(nr, args[0], args[1], args[2], args[3], args[4],
                          args[5]);
    if (!summary) {
      std::printf("%ld\n", result);
      return 0;
    }
    bool found = false;
    for (auto& [value, times] : seen)
      if (value == result) {
        ++times;
        found = true;
      }
    if (!found)
      seen.push_back({result, 1});
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  for (auto& [value, times] : seen)
    std::printf("%ld %ld\n", value, times);
  if (timed)
    std::printf("ns %lld\n", (end.tv_sec - begin.tv_sec) * 1000000000LL +
                                 (end.tv_nsec - begin.tv_nsec));
  return 0;
}
