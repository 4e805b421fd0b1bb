#include "cli/options.h"

#include <cerrno>
#include <cstdlib>

#include "cli/exit_status.h"
#include "cli/help.h"
#include "model/elevator.h"
#include "wire/socket_path.h"

namespace elevmod {

namespace {

bool socket_path(const char* verb, const std::string& option, bool create,
                 std::string* path) {
  std::string err;
  if (resolve_socket_path(option, create, path, &err))
    return true;
  failure(verb, err);
  return false;
}

}  // namespace

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

}  // namespace elevmod
