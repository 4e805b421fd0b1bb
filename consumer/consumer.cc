// consumer: the elevator's switch.  "--start" starts it, "--stop" stops it;
// the module's answer is printed as one line and returned as the status.

#include <cstdio>
#include <cstring>

#include "cabgate.h"

namespace {

enum ExitStatus {
  kAccepted = 0,
  kAlreadyDone = 1,
  kNotLoaded = 2,
  kWrongCommandLine = 3,
};

void usage(const char* program) {
  std::fprintf(stderr, "  call using %s <--start | --stop>\n", program);
}

// Prints the line for a service result and gives the exit status.
int report(int result, const char* done, const char* already) {
  const char* line = result == 0   ? done
                     : result == 1 ? already
                                   : "Module is not loaded!\n";
  std::fputs(line, stdout);
  return result == 0 ? kAccepted : result == 1 ? kAlreadyDone : kNotLoaded;
}

}  // namespace

int main(int argc, char** argv) {
  // execve allows an empty argument vector, which Linux turns into a single
  // empty argument; name the program sensibly either way.
  const char* program = argc > 0 && argv[0] && *argv[0] ? argv[0] : "consumer";
  if (argc != 2) {
    std::fputs("Wrong number of arguments!\n", stderr);
    usage(program);
    return kWrongCommandLine;
  }

  signiture(argv[0]);

  if (std::strcmp(argv[1], "--start") == 0)
    return report(start_elevator(), "Elevator successfully started\n",
                  "Elevator has already started!\n");
  if (std::strcmp(argv[1], "--stop") == 0)
    return report(stop_elevator(), "Elevator is now stopped\n",
                  "Elevator has already been issued to stop!\n");

  std::fputs("Did not understand provided argument!\n", stderr);
  usage(program);
  return kWrongCommandLine;
}
