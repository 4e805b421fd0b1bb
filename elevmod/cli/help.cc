#include "cli/help.h"

#include <cstdio>

#include "cli/exit_status.h"

namespace elevmod {

namespace {

const char kSocketHelp[] =
    "  --socket PATH         the service's socket (default: $ELEVMOD_SOCKET,\n"
    "                        else 'socket' in $XDG_RUNTIME_DIR/elevmod, else\n"
    "                        in /tmp/elevmod-UID)\n"
    "  -h, --help            show this help\n";

const VerbHelp kVerbs[] = {
    {"load",
     "elevmod load [--foreground] [--capacity N] [--step-ms MS]\n"
     "                    [--max-waiting N] [--speed N] [--socket PATH]",
     "Starts the elevator service and returns once it accepts connections.\n"
     "It serves in the background until 'elevmod unload' or SIGINT, SIGTERM\n"
     "or SIGHUP, and logs its complaints about clients to syslog.\n"
     "\n"
     "  --foreground          stay in the foreground until SIGINT, SIGTERM\n"
     "                        or SIGHUP; complaints go to standard error\n"
     "  --capacity N          passengers the car holds, 1 to 1000000\n"
     "                        (default 5)\n"
     "  --step-ms MS          milliseconds the car takes per floor, 1 to\n"
     "                        3600000 (default 1000)\n"
     "  --max-waiting N       passengers that may wait before requests are\n"
     "                        refused, at least 1 (default 1000000)\n"
     "  --speed N             for clients whose clock runs N times as fast\n"
     "                        (faketime -f '+0 xN'), 1 to 1000: the car's\n"
     "                        steps are N times shorter, and every time shown\n"
     "                        (status, trace) is on their clock (default 1)\n"},
    {"unload", "elevmod unload [--json] [--socket PATH]",
     "Stops the service.  Every process attached to it then gets -1 (ENOSYS)\n"
     "from the three calls.\n"
     "\n"
     "  --json                print the final figures as one JSON object\n"},
    {"status", "elevmod status [--json] [--watch] [--socket PATH]",
     "Shows the elevator: its state, floor and direction, passengers aboard,\n"
     "waiting and delivered, requests accepted and refused, calls received\n"
     "and attached process trees, then a drawing of the shaft.\n"
     "\n"
     "  --json                one JSON object instead of text\n"
     "  --watch               show it again every second until interrupted:\n"
     "                        on a terminal in place, otherwise one frame (or\n"
     "                        with --json one line) a second\n"},
    {"run", "elevmod run [--reply NR=VALUE]... [--socket PATH] [--] COMMAND [ARG...]",
     "Execs COMMAND (same process, its own exit status) with its calls 323,\n"
     "324 and 325 sent to the service; its children inherit that.  Without\n"
     "a service the calls fail with -1.  Exit status 125 for elevmod's own\n"
     "failures, 126 when COMMAND can't be executed, 127 when not found.\n"
     "\n"
     "  --reply NR=VALUE      answer call NR (323, 324 or 325) with VALUE (a\n"
     "                        32-bit integer) and use no service; calls not\n"
     "                        named fail with -1 (default: no fixed answers)\n"},
    {"trace", "elevmod trace [--json] [--socket PATH]",
     "Shows every elevator call the service answers, as it answers it (time,\n"
     "caller's pid and command name, the call and its arguments, the answer)\n"
     "and what the car does, one line each, until interrupted.  A tracer\n"
     "that falls behind is told how many events it lost.\n"
     "\n"
     "  --json                one JSON object a line\n"},
    {"draw", "elevmod draw [FILE]",
     "Draws a run from its trace as saved by 'elevmod trace --json' (FILE,\n"
     "or standard input): an SVG picture of the car's floor over time, with\n"
     "the waiting and aboard counts beneath, on standard output.\n"
     "\n"
     "  -h, --help            show this help\n",
     false},
};

}  // namespace

const VerbHelp* find_verb(const std::string& name) {
  for (const auto& verb : kVerbs)
    if (name == verb.name)
      return &verb;
  return nullptr;
}

void print_general_help(const std::string& summary) {
  std::fputs("usage: elevmod VERB [OPTION]...\n", stdout);
  for (const auto& verb : kVerbs)
    std::printf("       %s\n", verb.synopsis);
  std::printf(
      "\n"
      "A user-space elevator service answering system calls 323 (start),\n"
      "324 (request) and 325 (stop) of the programs started under 'run'.\n"
      "\n"
      "%s"
      "\n"
      "'elevmod help VERB' or 'elevmod VERB --help' describes a verb's\n"
      "options; 'elevmod --version' shows the version.\n",
      summary.c_str());
}

int verb_help(const VerbHelp& verb) {
  std::printf("usage: %s\n\n%s%s", verb.synopsis, verb.text,
              verb.socket ? kSocketHelp : "");
  return kOk;
}

int usage_error(const char* verb, const std::string& what) {
  if (verb)
    std::fprintf(stderr, "elevmod: %s: %s (see 'elevmod %s --help')\n", verb,
                 what.c_str(), verb);
  else
    std::fprintf(stderr, "elevmod: %s (see 'elevmod --help')\n",
                 what.c_str());
  return kUsage;
}

int failure(const char* verb, const std::string& what) {
  std::fprintf(stderr, "elevmod: %s: %s\n", verb, what.c_str());
  return kFailed;
}

}  // namespace elevmod
