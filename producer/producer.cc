// producer: the elevator's load.  Sends 10,000 passengers drawn under seed
// 39, one after another, then sleeps out a 300-second window counted from
// the start of the sending.

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cabgate.h"

namespace {

enum ExitStatus { kDone = 0, kRefused = 1, kWrongCommandLine = -1 };

constexpr unsigned kSeed = 39;
constexpr int kRequests = 10000;
constexpr long long kWindowSeconds = 300;
constexpr long long kMicrosPerSecond = 1000000;
// usleep takes a 32-bit count; a wall clock stepped back during the sending
// can leave far more than the window to sleep, so sleep it in pieces.
constexpr long long kLongestSleepSeconds = 1000;

void sleep_seconds(long long seconds) {
  while (seconds > 0) {
    long long piece = seconds < kLongestSleepSeconds ? seconds
                                                     : kLongestSleepSeconds;
    usleep(static_cast<useconds_t>(piece * kMicrosPerSecond));
    seconds -= piece;
  }
}

}  // namespace

// One rand() value folded into [low, high): high is never returned.
int my_rand(int low, int high) { return low + std::rand() % (high - low); }

int rand_type() { return my_rand(0, 3); }

int rand_start_floor() { return my_rand(1, 10); }

// Most trips go down to the ground floor; from it, always to the top.
int rand_dest_floor(int start_floor) {
  if (start_floor == 1)
    return 10;
  if (my_rand(0, 100) <= 80)
    return 1;
  int floor = my_rand(2, 9);
  return floor == start_floor ? 10 : floor;
}

// *diff = *end - *start, microseconds brought into [0, 1000000).
void time_diff(const timeval* start, const timeval* end, timeval* diff) {
  long long seconds = end->tv_sec - start->tv_sec;
  long long micros = end->tv_usec - start->tv_usec;
  while (micros < 0) {
    --seconds;
    micros += kMicrosPerSecond;
  }
  diff->tv_sec = seconds;
  diff->tv_usec = micros;
}

int main(int argc, char** argv) {
  if (argc != 1 || !argv[0]) {
    // execve allows an empty argument vector or program name; name the
    // program sensibly anyway.
    const char* program = argc > 0 && argv[0] && *argv[0] ? argv[0] : "producer";
    std::fputs("Wrong number of arguments!\n", stderr);
    std::fprintf(stderr, "  call using %s\n", program);
    return kWrongCommandLine;
  }

  std::srand(kSeed);
  signiture(argv[0]);

  timeval start, end, elapsed;
  gettimeofday(&start, nullptr);
  for (int i = 0; i < kRequests; ++i) {
    int type = rand_type();
    int start_floor = rand_start_floor();
    int dest_floor = rand_dest_floor(start_floor);
    std::printf("Attempting to add a person of type %d, to floor %d, "
                "going to %d\n", type, start_floor, dest_floor);
    int result = issue_request(type, start_floor, dest_floor);
    if (result != 0) {
      std::fputs(result == 1 ? "Invalid request!\n" : "Module is not loaded!\n",
                 stderr);
      return kRefused;
    }
    std::fputs("Successfully added\n", stdout);
  }
  gettimeofday(&end, nullptr);
  std::fputs("Done adding people\n", stdout);

  time_diff(&start, &end, &elapsed);
  long long remaining = kWindowSeconds - elapsed.tv_sec;
  std::printf("Waiting for the remaining %lld seconds\n", remaining);
  sleep_seconds(remaining);
  std::fputs("Time is up!!!\n", stdout);
  return kDone;
}
