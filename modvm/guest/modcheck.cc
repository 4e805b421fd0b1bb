// modcheck: the checks of an elevator module, run in the modvm guest as its
// only program; prints KTAP (version 1) on standard output.
//
//   modcheck --list          the checks, in order, comma-separated
//   modcheck --reported      of the kernel's lines on standard input (of
//                            warning level or worse), what the checks
//                            count as reported: noise and stamps dropped
//   modcheck --skip-windows  for as long as the guest runs, each producer's
//                            300-second window passes once it is sending
//   modcheck --module FILE.ko --name NAME [--proc PATH] [--only CHECK,...]
//            [--storm SECONDS] [--fuzz SECONDS] [--seed N] [--keep]
//
// Each check is one function below; it loads the module the way kmod does
// (one finit_module, so a failing init runs once), judges what it is
// answered and what is left behind, and fails when the kernel reported
// anything while it ran (the lines of warning level or worse in the
// kernel's log, but the emulator's noise and races the module takes no part
// in).  Beside the KTAP lines, "# modvm: ..." lines tell the host the
// module's place in memory (to name its code after it is gone), each
// check's time, and why the run ends early:
//
//   # modvm: loaded NAME BASE SIZE SECTION=ADDRESS... (BASE, SIZE "-" when
//                          the module went before they were read)
//   # modvm: time CHECK SECONDS
//   # modvm: note CHECK TEXT  what a failure of the check should show
//   # modvm: fresh boot    the kernel reported (a report it gives once per
//                          boot, KASAN's first, a WARN_ONCE, lockdep
//                          switching itself off, would hide later faults),
//                          or the module left a thread or a /proc entry
//                          behind (the next load would trip on it): the
//                          checks left run in a fresh boot
//   # modvm: hung CHECK    a call never returned or the module cannot be
//                          unloaded: the checks left cannot run
//   # modvm: stalled CHECK the check made no progress within its time;
//                          every task's stack follows in the kernel's log
//   # modvm: kept CHECK    with --keep, the first check that failed ends
//                          the checks and leaves /tmp/keep (naming it),
//                          for the guest's init to open a shell
//
// A heartbeat goes to /dev/ttyS3 once a second while checks run, so the
// host can tell a guest that stopped making progress.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "checks.h"
#include "harness.h"

namespace modcheck {
namespace {

int usage() {
  std::fputs(
      "usage: modcheck --list | --reported | --skip-windows | --module FILE.ko --name NAME"
      " [--proc PATH]"
      " [--only CHECK,...] [--storm SECONDS] [--fuzz SECONDS] [--seed N] [--keep]\n",
      stderr);
  return 2;
}

}  // namespace

// The checks asked for, in order, as KTAP.
int check_main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--reported") {
    modvm::Lines lines;
    for (std::string line; std::getline(std::cin, line);)
      lines.push_back(line);
    for (const std::string& said : modvm::reported(lines, ""))
      std::puts(said.c_str());
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--skip-windows")
    skip_windows();
  if (argc == 2 && std::string(argv[1]) == "--list") {
    std::string names;
    for (const Entry& entry : all_checks())
      names += (names.empty() ? "" : ",") + std::string(entry.name);
    std::puts(names.c_str());
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--keep") {
      options.keep = true;
      continue;
    }
    if (i + 1 >= argc)
      return usage();
    std::string value = argv[++i];
    if (arg == "--module")
      options.ko = value;
    else if (arg == "--name")
      options.name = value;
    else if (arg == "--proc")
      options.proc = value;
    else if (arg == "--only")
      options.only = value;
    else if (arg == "--storm")
      options.storm_seconds = std::atof(value.c_str());
    else if (arg == "--fuzz")
      options.fuzz_seconds = std::atof(value.c_str());
    else if (arg == "--seed")
      options.seed = std::strtoul(value.c_str(), nullptr, 10), options.seeded = true;
    else
      return usage();
  }
  if (options.ko.empty() || options.name.empty())
    return usage();
  std::vector<const Entry*> selected;
  for (const Entry& entry : all_checks())
    if (options.only.empty() || ("," + options.only + ",").find(std::string(",") + entry.name + ",") != std::string::npos)
      selected.push_back(&entry);

  // The bench's own helper; without it no verdict could be trusted.
  if (int error = insmod(kWatchKo); error != 0 && error != EEXIST) {
    std::fprintf(stderr, "modcheck: the bench's helper %s did not load: %s\n", kWatchKo,
                 std::strerror(error));
    return 1;
  }
  watch_set("watch", options.name);
  std::printf("KTAP version 1\n1..%zu\n", selected.size());
  std::fflush(stdout);
  std::thread(watchdog).detach();
  int number = 0;
  for (const Entry* entry : selected) {
    ++number;
    {
      std::lock_guard<std::mutex> hold(output_lock);
      current_check = entry->name;
    }
    kernel_log.drain();
    stop_storms = false;
    kernel_log.say(protocol::line(Kind::check_begins, current_check));
    double extra = std::string(entry->name) == "fuzz" ? options.fuzz_seconds
                                                       : options.storm_seconds;
    double began = now();
    deadline = began + entry->seconds + extra;
    Check check;
    entry->run(check);
    if (!check.hung && module_loaded())
      rmmod_once(options.name);
    modvm::Lines said = modvm::reported(kernel_log.drain(), options.name);
    deadline = 0;
    if (!said.empty())
      check.fail("the kernel reported: " + said.front());
    for (const std::string& reason : check.reasons)
      diagnostic(current_check + ": " + reason);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", now() - began);
    diagnostic(protocol::line(Kind::time, current_check + " " + seconds));
    {
      std::lock_guard<std::mutex> hold(output_lock);
      std::printf("%s %d %s\n", check.failed() ? "not ok" : "ok", number, entry->name);
      std::fflush(stdout);
    }
    if (check.hung) {
      diagnostic(protocol::line(Kind::hung, current_check));
      break;
    }
    if (check.failed() && options.keep) {
      std::ofstream("/tmp/keep") << current_check << '\n';
      diagnostic(protocol::line(Kind::kept, current_check));
      break;
    }
    // What the kernel reports once per boot would hide later faults, and
    // what the module left behind would fail the next load for it.
    if ((!said.empty() || check.left) && number < static_cast<int>(selected.size())) {
      diagnostic(protocol::line(Kind::fresh_boot));
      break;
    }
  }
  beating = false;
  std::fflush(stdout);
  _exit(0);
}

}  // namespace modcheck

int main(int argc, char** argv) {
  return modcheck::check_main(argc, argv);
}
