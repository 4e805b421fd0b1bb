#include "cli/verbs.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "cli/detach.h"
#include "cli/exit_status.h"
#include "cli/follow.h"
#include "cli/help.h"
#include "cli/options.h"
#include "cli/run.h"
#include "model/picture.h"
#include "model/status.h"
#include "service/log.h"
#include "service/service.h"
#include "wire/errors.h"
#include "wire/service_client.h"

namespace elevmod {

namespace {

// The end of a follower: an interrupt ends it quietly, the end of the
// service with a note; both are its normal end.
int followed(const char* verb, const std::string& path, FollowEnd end,
             const std::string& err) {
  if (end == FollowEnd::failed)
    return failure(verb, err);
  if (end == FollowEnd::ended)
    std::fprintf(stderr, "elevmod: %s: the service on %s has ended\n", verb,
                 path.c_str());
  return kOk;
}

// Writes `text` to standard output; a failure to (a full disk, a closed
// pipe) fails the verb.
int print(const char* verb, const std::string& text) {
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
    return failure(verb, "cannot write to standard output: " +
                             errno_text(errno));
  return kOk;
}

}  // namespace

int do_load(int argc, char** argv) {
  const char* verb = "load";
  enum { kForeground = 1, kCapacity, kStepMs, kMaxWaiting, kSpeed };
  const option options[] = {
      {"foreground", no_argument, nullptr, kForeground},
      {"capacity", required_argument, nullptr, kCapacity},
      {"step-ms", required_argument, nullptr, kStepMs},
      {"max-waiting", required_argument, nullptr, kMaxWaiting},
      {"speed", required_argument, nullptr, kSpeed},
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
                       : c == kSpeed  ? "--speed"
                                      : "--max-waiting";
    long long high = c == kCapacity ? 1000000
                     : c == kStepMs ? 3600000
                     : c == kSpeed  ? 1000
                                    : LLONG_MAX;
    long long number;
    if (!parse_integer(value, 1, high, &number))
      return std::string(name) + " needs a whole number from 1 to " +
             std::to_string(high) + ", not '" + value + "'";
    if (c == kCapacity)
      service_options.config.capacity = static_cast<uint32_t>(number);
    else if (c == kStepMs)
      service_options.step_ms = static_cast<uint32_t>(number);
    else if (c == kSpeed)
      service_options.speed = static_cast<uint32_t>(number);
    else
      service_options.config.max_waiting = static_cast<uint64_t>(number);
    return "";
  };
  int first = parse_options(verb, argc, argv, options, take, &socket, &help);
  std::string path;
  if (int status = settle(verb, first, argc, argv, help, socket, true, &path);
      status >= 0)
    return status;

  // With no system logger, the background service's complaints go to a
  // file beside its socket, where a user can find them.
  set_log_fallback(path + ".log");
  Service service(path, service_options);
  bool busy = false;
  std::string err;
  if (!service.prepare(&busy, &err))
    return failure(verb, err);
  if (foreground)
    return service.run();

  // The socket already listens, so a client started after we return finds
  // the service whether or not it has begun to serve.
  if (!detach([&service] {
        log_to_syslog();
        return service.run();
      }))
    return failure(verb, std::string("fork: ") + errno_text(errno));
  _exit(kOk);  // the service's descriptors belong to it now
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
  return flags.json ? print(verb, render_json(reply.snapshot)) : kOk;
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
  return print(verb, flags.json ? render_json(reply.snapshot)
                               : render_text(reply.snapshot));
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

int do_draw(int argc, char** argv) {
  const char* verb = "draw";
  if (argc == 3 && (std::strcmp(argv[2], "-h") == 0 ||
                    std::strcmp(argv[2], "--help") == 0))
    return verb_help(*find_verb(verb));
  if (argc > 3)
    return usage_error(verb, "takes one trace file at most");
  std::string name = argc == 3 ? argv[2] : "-";
  if (name.size() > 1 && name[0] == '-')
    return usage_error(verb, "unrecognized option '" + name + "'");
  std::ifstream file;
  if (name != "-") {
    file.open(name);
    if (!file)
      return failure(verb, "cannot open " + name + ": " + errno_text(errno));
  }
  RunSeries series;
  std::string err;
  if (!read_trace(name == "-" ? std::cin : file, &series, &err))
    return failure(verb, (name == "-" ? "standard input" : name) + ": " + err);
  return print(verb, render_svg(series, "The car's floor over time, with "
                                        "the waiting and aboard counts"));
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

}  // namespace elevmod
