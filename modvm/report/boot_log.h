// One boot of the guest that ran module checks, judged: what the checks
// printed and what the kernel's console shows become a verdict per check
// (a failure titled by the kernel's report, with the module's frames named
// by source line), and the checks still to run in another boot.
#ifndef MODVM_REPORT_BOOT_LOG_H_
#define MODVM_REPORT_BOOT_LOG_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kernel_log.h"
#include "symbols.h"
#include "verdicts.h"

namespace modvm {

struct Boot {
  Lines out;             // the checks' KTAP and "# modvm:" lines
  Lines console;         // the kernel's console
  bool timed_out = false;  // the host's bound on the boot ran out
  bool silent = false;     // no heartbeat: the host stopped the guest
};

struct Module {
  std::string name;
  std::vector<Symbol> symbols;  // of its .ko
  // Source lines for frames "fn+0x../0x..", by faddr2line.
  std::function<std::map<std::string, std::string>(const std::vector<std::string>&)> lines;
};

struct Judged {
  std::vector<Verdict> verdicts;
  std::vector<std::string> remaining;  // to run in a fresh boot
};

// How the guest ended before its command or check did, from the console's
// lines since it began: "the guest hung, ...", "the kernel crashed", ...
std::string how_it_ended(const Lines& console, const Boot& boot);

// The verdicts of `checks` (those asked of this boot, in order); with
// `keep_going`, the checks after one that hung or crashed the guest are
// left to run in a fresh boot rather than marked not run.
Judged judge_boot(const Boot& boot, const std::vector<std::string>& checks,
                  const Module& module, bool keep_going);

}  // namespace modvm

#endif  // MODVM_REPORT_BOOT_LOG_H_
