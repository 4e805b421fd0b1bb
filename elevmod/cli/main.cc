// elevmod: a user-space stand-in for the elevator kernel module.  It answers
// calls 323, 324 and 325 of the processes started under `elevmod run`.

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/exit_status.h"
#include "cli/help.h"
#include "cli/verbs.h"

#ifndef ELEVMOD_VERSION
#define ELEVMOD_VERSION "unknown"
#endif

namespace {

using namespace elevmod;

struct Verb {
  const char* name;
  int (*handler)(int argc, char** argv);
  const char* summary;
};

const Verb kVerbTable[] = {
    {"load", do_load, "start the service"},
    {"unload", do_unload, "stop it; attached calls then fail with -1"},
    {"status", do_status, "show the elevator, once or (--watch) every second"},
    {"run", do_run, "exec a command with its calls sent to the service"},
    {"trace", do_trace, "show every call and what the car does, as it happens"},
    {"draw", do_draw, "draw a saved trace --json as an SVG picture"},
};

int general_help() {
  std::string summary;
  for (const Verb& verb : kVerbTable) {
    char line[100];
    std::snprintf(line, sizeof line, "  %-8s %s\n", verb.name, verb.summary);
    summary += line;
  }
  print_general_help(summary);
  return kOk;
}

// `elevmod help [VERB]`.
int help(int argc, char** argv) {
  if (argc < 3 || (argc == 3 && (std::strcmp(argv[2], "help") == 0 ||
                                 std::strcmp(argv[2], "--help") == 0 ||
                                 std::strcmp(argv[2], "-h") == 0)))
    return general_help();
  if (const VerbHelp* known = find_verb(argv[2]); known && argc == 3)
    return verb_help(*known);
  return usage_error(nullptr, argc > 3 ? "help takes one verb"
                                       : std::string("unknown verb '") +
                                             argv[2] + "'");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return usage_error(nullptr, "no verb given");
  std::string verb = argv[1];
  if (verb == "--help" || verb == "-h")
    return general_help();
  if (verb == "--version") {
    std::printf("elevmod %s\n", ELEVMOD_VERSION);
    return kOk;
  }
  if (verb == "help")
    return help(argc, argv);
  for (const Verb& known : kVerbTable)
    if (verb == known.name)
      return known.handler(argc, argv);
  if (verb.size() > 2 && verb.compare(0, 2, "--") == 0)
    return usage_error(nullptr, "unrecognized option '" + verb + "'");
  if (verb.size() > 1 && verb[0] == '-')
    return usage_error(nullptr, std::string("invalid option -- '") + verb[1] +
                                    "'");
  return usage_error(nullptr, "unknown verb '" + verb + "'");
}
