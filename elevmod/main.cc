// elevmod: a user-space stand-in for the elevator kernel module.  It answers
// calls 323, 324 and 325 of the processes started under `elevmod run`.

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "follow.h"
#include "log.h"
#include "protocol.h"
#include "run.h"
#include "service.h"
#include "status.h"

#ifndef ELEVMOD_VERSION
#define ELEVMOD_VERSION "unknown"
#endif

namespace {

using namespace elevmod;

// Exit statuses of elevmod's own verbs; `run` passes the command's on.
enum ExitStatus { kOk = 0, kFailed = 1, kUsage = 2 };

const char kSocketHelp[] =
    "  --socket PATH         the service's socket (default: $ELEVMOD_SOCKET,\n"
    "                        else 'socket' in $XDG_RUNTIME_DIR/elevmod, else\n"
    "                        in /tmp/elevmod-UID)\n"
    "  -h, --help            show this help\n";

struct VerbHelp {
  const char* name;
  const char* synopsis;
  const char* text;
};

const VerbHelp kVerbs[] = {
    {"load",
     "elevmod load [--foreground] [--capacity N] [--step-ms MS]\n"
     "                    [--max-waiting N] [--socket PATH]",
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
     "                        refused, at least 1 (default 1000000)\n"},
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
};

const VerbHelp* find_verb(const std::string& name) {
  for (const auto& verb : kVerbs)
    if (name == verb.name)
      return &verb;
  return nullptr;
}

void print_general_help() {
  std::fputs("usage: elevmod VERB [OPTION]...\n", stdout);
  for (const auto& verb : kVerbs)
    std::printf("       %s\n", verb.synopsis);
  std::fputs(
      "\n"
      "A user-space elevator service answering system calls 323 (start),\n"
      "324 (request) and 325 (stop) of the programs started under 'run'.\n"
      "\n"
      "  load     start the service\n"
      "  unload   stop it; attached calls then fail with -1\n"
      "  status   show the elevator, once or (--watch) every second\n"
      "  run      exec a command with its calls sent to the service\n"
      "  trace    show every call and what the car does, as it happens\n"
      "\n"
      "'elevmod help VERB' or 'elevmod VERB --help' describes a verb's\n"
      "options; 'elevmod --version' shows the version.\n",
      stdout);
}

int verb_help(const VerbHelp& verb) {
  std::printf("usage: %s\n\n%s%s", verb.synopsis, verb.text, kSocketHelp);
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

// Whole decimal numbers only: no blanks, no '+', nothing after the digits.
bool parse_integer(const char* text, long long low, long long high,
                   long long* out) {
  const char* digits = text && *text == '-' ? text + 1 : text;
  if (!digits || *digits < '0' || *digits > '9')
    return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno || *end || value < low || value > high)
    return false;
  *out = value;
  return true;
}

constexpr int kOptSocket = 1000;

// Takes a verb's options with getopt_long, stopping at the first operand.
// `take` handles each option other than --help and --socket and returns an
// empty string or a complaint.  Returns the index of the first operand, or
// -1 once a usage error is printed; *help is set by -h and --help.
int parse_options(const char* verb, int argc, char** argv,
                  const option* verb_options,
                  const std::function<std::string(int, const char*)>& take,
                  std::string* socket, bool* help) {
  option options[16];
  int count = 0;
  for (const option* o = verb_options; o && o->name; ++o)
    options[count++] = *o;
  options[count++] = {"socket", required_argument, nullptr, kOptSocket};
  options[count++] = {"help", no_argument, nullptr, 'h'};
  options[count] = {nullptr, 0, nullptr, 0};
  // Our own words for getopt's complaints, with the verb in front.
  opterr = 0;
  optind = 0;
  int verb_argc = argc - 1;
  char** verb_argv = argv + 1;
  auto bad = [verb](const std::string& what) {
    usage_error(verb, what);
    return -1;
  };
  for (;;) {
    int c = getopt_long(verb_argc, verb_argv, "+:h", options, nullptr);
    if (c == -1)
      return optind + 1;
    std::string word = verb_argv[optind - 1];
    if (c == '?' && optopt == 0)
      return bad("unrecognized option '" + word + "'");
    if (c == '?' && word.compare(0, 2, "--") == 0)
      return bad("option '" + word.substr(0, word.find('=')) +
                 "' doesn't allow an argument");
    if (c == '?')
      return bad(std::string("invalid option -- '") +
                 static_cast<char>(optopt) + "'");
    if (c == ':')
      return bad("option '" + word + "' requires an argument");
    if (c == 'h') {
      *help = true;
    } else if (c == kOptSocket) {
      if (!*optarg)
        return bad("--socket needs a path");
      *socket = optarg;
    } else if (std::string complaint = take(c, optarg); !complaint.empty()) {
      return bad(complaint);
    }
  }
}

bool socket_path(const char* verb, const std::string& option, bool create,
                 std::string* path) {
  std::string err;
  if (resolve_socket_path(option, create, path, &err))
    return true;
  failure(verb, err);
  return false;
}

// What follows parse_options() for a verb without operands: its help, a
// complaint about an operand, or its socket path.  Returns -1 to go on, or
// the exit status to end with.
int settle(const char* verb, int first, int argc, char** argv, bool help,
           const std::string& socket, bool create, std::string* path) {
  if (first < 0)
    return kUsage;
  if (help)
    return verb_help(*find_verb(verb));
  if (first < argc)
    return usage_error(verb, std::string("unexpected argument '") +
                                 argv[first] + "'");
  if (!socket_path(verb, socket, create, path))
    return kFailed;
  return -1;
}

int do_load(int argc, char** argv) {
  const char* verb = "load";
  enum { kForeground = 1, kCapacity, kStepMs, kMaxWaiting };
  const option options[] = {
      {"foreground", no_argument, nullptr, kForeground},
      {"capacity", required_argument, nullptr, kCapacity},
      {"step-ms", required_argument, nullptr, kStepMs},
      {"max-waiting", required_argument, nullptr, kMaxWaiting},
      {nullptr, 0, nullptr, 0}};
  ServiceOptions service_options;
  bool foreground = false, help = false;
  std::string socket;
  auto take = [&](int c, const char* value) -> std::string {
    if (c == kForeground) {
      foreground = true;
      return "";
    }
    const char* name = c == kCapacity ? "--capacity"
                       : c == kStepMs ? "--step-ms"
                                      : "--max-waiting";
    long long high = c == kCapacity ? 1000000
                     : c == kStepMs ? 3600000
                                    : LLONG_MAX;
    long long number;
    if (!parse_integer(value, 1, high, &number))
      return std::string(name) + " needs a whole number from 1 to " +
             std::to_string(high) + ", not '" + value + "'";
    if (c == kCapacity)
      service_options.config.capacity = static_cast<uint32_t>(number);
    else if (c == kStepMs)
      service_options.step_ms = static_cast<uint32_t>(number);
    else
      service_options.config.max_waiting = static_cast<uint64_t>(number);
    return "";
  };
  int first = parse_options(verb, argc, argv, options, take, &socket, &help);
  std::string path;
  if (int status = settle(verb, first, argc, argv, help, socket, true, &path);
      status >= 0)
    return status;

  Service service(path, service_options);
  bool busy = false;
  std::string err;
  if (!service.prepare(&busy, &err))
    return failure(verb, err);
  if (foreground)
    return service.run();

  // The socket already listens, so a client started after we return finds
  // the service whether or not the child has run yet.
  pid_t child = fork();
  if (child < 0)
    return failure(verb, std::string("fork: ") + std::strerror(errno));
  if (child > 0)
    _exit(kOk);  // the service's descriptors belong to the child now
  // A process group of its own keeps a terminal's Ctrl-C and hang-up away
  // from the service.  Not a session of its own: setsid() would also put it
  // in a scheduler autogroup apart from its callers, and every call's
  // cross-group wake-up then costs about a third more.
  setpgid(0, 0);
  if (chdir("/") != 0) {
    // Only pins the directory; the service needs nothing from it.
  }
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    for (int fd = 0; fd < 3; ++fd)
      dup2(null_fd, fd);
    if (null_fd > 2)
      close(null_fd);
  }
  log_to_syslog();
  return service.run();
}

// What unload, status and trace take: --json, status also --watch.
struct Flags {
  bool json = false;
  bool watch = false;
  std::string path;  // the socket
};

// Parses the options of unload, status or trace and finds the socket.
// Returns -1 to go on, or the exit status to end with (after --help, or a
// complaint).
int parse_flags(const char* verb, int argc, char** argv, bool watch_too,
                Flags* flags) {
  enum { kJson = 1, kWatch };
  const option options[] = {{"json", no_argument, nullptr, kJson},
                            {watch_too ? "watch" : nullptr, no_argument,
                             nullptr, kWatch},
                            {nullptr, 0, nullptr, 0}};
  bool help = false;
  std::string socket;
  auto take = [&](int c, const char*) -> std::string {
    (c == kJson ? flags->json : flags->watch) = true;
    return "";
  };
  int first = parse_options(verb, argc, argv, options, take, &socket, &help);
  return settle(verb, first, argc, argv, help, socket, false, &flags->path);
}

int do_unload(int argc, char** argv) {
  const char* verb = "unload";
  Flags flags;
  if (int status = parse_flags(verb, argc, argv, false, &flags); status >= 0)
    return status;
  Reply reply;
  std::string err;
  if (ask_service(flags.path, Verb::unload, -1, &reply, &err) != 0)
    return failure(verb, err);
  if (flags.json)
    std::fputs(render_json(reply.snapshot).c_str(), stdout);
  return kOk;
}

// The end of a follower: an interrupt ends it quietly, the end of the
// service with a note; both are its normal end.
int followed(const char* verb, const std::string& path, FollowEnd end,
             const std::string& err) {
  std::fflush(stdout);
  if (end == FollowEnd::failed)
    return failure(verb, err);
  if (end == FollowEnd::ended)
    std::fprintf(stderr, "elevmod: %s: the service on %s has ended\n", verb,
                 path.c_str());
  return kOk;
}

int do_status(int argc, char** argv) {
  const char* verb = "status";
  Flags flags;
  if (int status = parse_flags(verb, argc, argv, true, &flags); status >= 0)
    return status;
  std::string err;
  if (flags.watch)
    return followed(verb, flags.path,
                    watch_status(flags.path, flags.json, &err), err);
  Reply reply;
  if (ask_service(flags.path, Verb::status, -1, &reply, &err) != 0)
    return failure(verb, err);
  std::string text = flags.json ? render_json(reply.snapshot)
                                : render_text(reply.snapshot);
  std::fputs(text.c_str(), stdout);
  return kOk;
}

int do_trace(int argc, char** argv) {
  const char* verb = "trace";
  Flags flags;
  if (int status = parse_flags(verb, argc, argv, false, &flags); status >= 0)
    return status;
  std::string err;
  return followed(verb, flags.path,
                  follow_trace(flags.path, flags.json, &err), err);
}

bool parse_reply(const std::string& text, RunOptions* options) {
  auto eq = text.find('=');
  if (eq == std::string::npos)
    return false;
  long long nr, value;
  if (!parse_integer(text.substr(0, eq).c_str(), kNrStart, kNrStop, &nr) ||
      !parse_integer(text.substr(eq + 1).c_str(), INT32_MIN, INT32_MAX,
                     &value))
    return false;
  options->replies[nr - kNrStart] = static_cast<int32_t>(value);
  return true;
}

int do_run(int argc, char** argv) {
  const char* verb = "run";
  enum { kReply = 1 };
  const option options[] = {{"reply", required_argument, nullptr, kReply},
                            {nullptr, 0, nullptr, 0}};
  RunOptions run_options;
  bool help = false;
  auto take = [&](int, const char* value) -> std::string {
    if (parse_reply(value, &run_options))
      return "";
    return std::string("bad --reply '") + value +
           "': want NR=VALUE, NR one of 323, 324, 325 and VALUE a 32-bit "
           "integer";
  };
  int first = parse_options(verb, argc, argv, options, take,
                            &run_options.socket, &help);
  if (first < 0)
    return kUsage;
  if (help)
    return verb_help(*find_verb(verb));
  if (first >= argc)
    return usage_error(verb, "no command given");
  run_options.command = argv + first;
  std::string err;
  int rc = run_command(run_options, &err);
  std::fprintf(stderr, "elevmod: run: %s\n", err.c_str());
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return usage_error(nullptr, "no verb given");
  std::string verb = argv[1];
  if (verb == "--help" || verb == "-h") {
    print_general_help();
    return kOk;
  }
  if (verb == "--version") {
    std::printf("elevmod %s\n", ELEVMOD_VERSION);
    return kOk;
  }
  if (verb == "help") {
    if (argc < 3) {
      print_general_help();
      return kOk;
    }
    if (const VerbHelp* known = find_verb(argv[2]); known && argc == 3)
      return verb_help(*known);
    if (argc == 3 && std::strcmp(argv[2], "help") == 0) {
      print_general_help();
      return kOk;
    }
    return usage_error(nullptr, argc > 3 ? "help takes one verb"
                                         : std::string("unknown verb '") +
                                               argv[2] + "'");
  }
  if (verb == "load")
    return do_load(argc, argv);
  if (verb == "unload")
    return do_unload(argc, argv);
  if (verb == "status")
    return do_status(argc, argv);
  if (verb == "run")
    return do_run(argc, argv);
  if (verb == "trace")
    return do_trace(argc, argv);
  if (verb.size() > 2 && verb.compare(0, 2, "--") == 0)
    return usage_error(nullptr, "unrecognized option '" + verb + "'");
  if (verb.size() > 1 && verb[0] == '-' && verb[1] != '-')
    return usage_error(nullptr, std::string("invalid option -- '") + verb[1] +
                                    "'");
  return usage_error(nullptr, "unknown verb '" + verb + "'");
}
