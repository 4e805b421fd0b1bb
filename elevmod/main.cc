// elevmod: a user-space stand-in for the elevator kernel module.  It answers
// calls 323, 324 and 325 of the processes started under `elevmod run`.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol.h"
#include "run.h"
#include "service.h"
#include "status.h"

namespace {

using namespace elevmod;

// Exit statuses of elevmod's own verbs; `run` passes the command's on.
enum ExitStatus { kOk = 0, kFailed = 1, kUsage = 2 };

const char kUsageText[] =
    "usage: elevmod load [--foreground] [--max-waiting N] [--capacity N]\n"
    "                    [--step-ms N] [--socket PATH]\n"
    "       elevmod unload [--json] [--socket PATH]\n"
    "       elevmod status [--json] [--watch] [--socket PATH]\n"
    "       elevmod run [--reply NR=VALUE]... [--socket PATH] [--] COMMAND "
    "[ARG...]\n";

const char kHelpText[] =
    "\n"
    "A user-space elevator service answering system calls 323 (start),\n"
    "324 (request) and 325 (stop) of the programs started under 'run'.\n"
    "\n"
    "  load     start the service; it goes to the background once it accepts\n"
    "           connections, or stays with --foreground until SIGINT/SIGTERM\n"
    "  unload   stop the service; attached calls then fail with -1 (ENOSYS);\n"
    "           --json prints its final figures\n"
    "  status   show the elevator; --json for one JSON object, --watch to\n"
    "           redraw it every second\n"
    "  run      exec COMMAND with its calls 323-325 sent to the service, or\n"
    "           answered with fixed values by --reply (e.g. --reply 324=2);\n"
    "           calls not named in a --reply fail with -1\n"
    "\n"
    "The socket is --socket PATH, else $ELEVMOD_SOCKET, else 'socket' in a\n"
    "private per-user directory.  Each verb takes --help.\n";

const char* const kVerbUsage[] = {
    "usage: elevmod load [--foreground] [--max-waiting N] [--capacity N] "
    "[--step-ms N] [--socket PATH]\n",
    "usage: elevmod unload [--json] [--socket PATH]\n",
    "usage: elevmod status [--json] [--watch] [--socket PATH]\n",
    "usage: elevmod run [--reply NR=VALUE]... [--socket PATH] [--] COMMAND "
    "[ARG...]\n",
};

enum VerbIndex { kLoad, kUnload, kStatus, kRun };
const char* const kVerbNames[] = {"load", "unload", "status", "run"};

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

bool parse_integer(const char* text, long long low, long long high,
                   long long* out) {
  if (!text || !*text)
    return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (errno || *end || value < low || value > high)
    return false;
  *out = value;
  return true;
}

// Walks a verb's options: --name VALUE and --name=VALUE alike.
class Options {
 public:
  Options(int argc, char** argv, int first)
      : argc_(argc), argv_(argv), index_(first) {}

  // The next option word, or null at the end or at the first operand.
  const char* next() {
    value_.clear();
    has_value_ = false;
    if (index_ >= argc_)
      return nullptr;
    const char* word = argv_[index_];
    if (std::strncmp(word, "--", 2) != 0 || std::strcmp(word, "--") == 0)
      return nullptr;
    ++index_;
    name_ = word;
    auto eq = name_.find('=');
    if (eq != std::string::npos) {
      value_ = name_.substr(eq + 1);
      name_.resize(eq);
      has_value_ = true;
    }
    return name_.c_str();
  }

  // The option's value; false if it has none.
  bool value(std::string* out) {
    if (!has_value_) {
      if (index_ >= argc_)
        return false;
      value_ = argv_[index_++];
    }
    *out = value_;
    return true;
  }

  bool has_inline_value() const { return has_value_; }
  int index() const { return index_; }

 private:
  int argc_;
  char** argv_;
  int index_;
  std::string name_;
  std::string value_;
  bool has_value_ = false;
};

struct Common {
  std::string socket;
  bool help = false;
};

enum class Parsed { other, taken, bad };

// Handles the options every verb takes: taken, other (not one of them), or
// bad (the complaint is printed).
Parsed common_option(const char* verb, const std::string& name, Options& opts,
                     Common* common) {
  if (name == "--help") {
    common->help = true;
    return Parsed::taken;
  }
  if (name != "--socket")
    return Parsed::other;
  if (!opts.value(&common->socket) || common->socket.empty()) {
    usage_error(verb, "--socket needs a path");
    return Parsed::bad;
  }
  return Parsed::taken;
}

int verb_help(int verb) {
  std::fputs(kVerbUsage[verb], stdout);
  return kOk;
}

bool socket_path(const char* verb, const Common& common, bool create,
                 std::string* path) {
  std::string err;
  if (resolve_socket_path(common.socket, create, path, &err))
    return true;
  failure(verb, err);
  return false;
}

int do_load(int argc, char** argv) {
  const char* verb = "load";
  Options opts(argc, argv, 2);
  Common common;
  ServiceOptions service_options;
  bool foreground = false;
  while (const char* name_ptr = opts.next()) {
    std::string name = name_ptr, text;
    long long value;
    Parsed parsed = common_option(verb, name, opts, &common);
    if (parsed == Parsed::bad)
      return kUsage;
    if (parsed == Parsed::taken)
      continue;
    if (name == "--foreground" && !opts.has_inline_value()) {
      foreground = true;
    } else if (name == "--max-waiting" || name == "--capacity" ||
               name == "--step-ms") {
      long long high = name == "--max-waiting" ? LLONG_MAX
                       : name == "--capacity"  ? 1000000
                                               : 3600000;
      if (!opts.value(&text) || !parse_integer(text.c_str(), 1, high, &value))
        return usage_error(verb, name + " needs a whole number from 1 to " +
                                     std::to_string(high));
      if (name == "--max-waiting")
        service_options.config.max_waiting = value;
      else if (name == "--capacity")
        service_options.config.capacity = static_cast<uint32_t>(value);
      else
        service_options.step_ms = static_cast<uint32_t>(value);
    } else {
      return usage_error(verb, "unknown option '" + name + "'");
    }
  }
  if (common.help)
    return verb_help(kLoad);
  if (opts.index() < argc)
    return usage_error(verb, std::string("unexpected argument '") +
                                 argv[opts.index()] + "'");
  std::string path;
  if (!socket_path(verb, common, true, &path))
    return kFailed;

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
  return service.run();
}

int do_unload_or_status(int verb_index, int argc, char** argv) {
  const char* verb = kVerbNames[verb_index];
  Options opts(argc, argv, 2);
  Common common;
  bool json = false, watch = false;
  while (const char* name_ptr = opts.next()) {
    std::string name = name_ptr;
    Parsed parsed = common_option(verb, name, opts, &common);
    if (parsed == Parsed::bad)
      return kUsage;
    if (parsed == Parsed::taken)
      continue;
    if (name == "--json" && !opts.has_inline_value())
      json = true;
    else if (verb_index == kStatus && name == "--watch" &&
             !opts.has_inline_value())
      watch = true;
    else
      return usage_error(verb, "unknown option '" + name + "'");
  }
  if (common.help)
    return verb_help(verb_index);
  if (opts.index() < argc)
    return usage_error(verb, std::string("unexpected argument '") +
                                 argv[opts.index()] + "'");
  std::string path;
  if (!socket_path(verb, common, false, &path))
    return kFailed;

  Reply reply;
  std::string err;
  if (verb_index == kUnload) {
    if (ask_service(path, Verb::unload, -1, &reply, &err) != 0)
      return failure(verb, err);
    if (json)
      std::fputs(render_json(reply.snapshot).c_str(), stdout);
    return kOk;
  }
  for (;;) {
    if (ask_service(path, Verb::status, -1, &reply, &err) != 0)
      return failure(verb, err);
    std::string text = json ? render_json(reply.snapshot)
                            : render_text(reply.snapshot);
    if (watch)
      text = "\033[H\033[2J" + text;
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (!watch)
      return kOk;
    sleep(1);
  }
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
  Options opts(argc, argv, 2);
  Common common;
  RunOptions options;
  while (const char* name_ptr = opts.next()) {
    std::string name = name_ptr, text;
    Parsed parsed = common_option(verb, name, opts, &common);
    if (parsed == Parsed::bad)
      return kUsage;
    if (parsed == Parsed::taken)
      continue;
    if (name != "--reply")
      return usage_error(verb, "unknown option '" + name + "'");
    if (!opts.value(&text) || !parse_reply(text, &options))
      return usage_error(verb, "bad --reply '" + text +
                                   "': want NR=VALUE, NR one of 323, 324, "
                                   "325 and VALUE a 32-bit integer");
  }
  if (common.help)
    return verb_help(kRun);
  int first = opts.index();
  if (first < argc && std::strcmp(argv[first], "--") == 0)
    ++first;
  if (first >= argc)
    return usage_error(verb, "no command given");
  options.socket = common.socket;
  options.command = argv + first;
  std::string err;
  int rc = run_command(options, &err);
  std::fprintf(stderr, "elevmod: run: %s\n", err.c_str());
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return usage_error(nullptr, "no verb given");
  std::string verb = argv[1];
  if (verb == "--help" || verb == "-h" || verb == "help") {
    std::fputs(kUsageText, stdout);
    std::fputs(kHelpText, stdout);
    return kOk;
  }
  if (verb == "load")
    return do_load(argc, argv);
  if (verb == "unload")
    return do_unload_or_status(kUnload, argc, argv);
  if (verb == "status")
    return do_unload_or_status(kStatus, argc, argv);
  if (verb == "run")
    return do_run(argc, argv);
  return usage_error(nullptr, "unknown verb '" + verb + "'");
}
