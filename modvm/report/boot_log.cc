#include "boot_log.h"

#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "protocol.h"

namespace modvm {
namespace {

bool starts(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool any_contains(const Lines& lines, const std::string& part) {
  for (const std::string& line : lines)
    if (contains(line, part))
      return true;
  return false;
}

// What the checks printed, check by check.
struct Printed {
  std::vector<Load> loads;
  std::map<std::string, Lines> reasons, reports, notes;
  std::map<std::string, double> seconds;
  std::map<std::string, bool> passed;  // those with a result line
  std::string hung, stalled, kept;
  bool fresh_boot = false, began = false;
};

Printed read_out(const Lines& out, const std::vector<std::string>& checks,
                 const std::string& module) {
  Printed printed;
  static const std::regex result(R"(^(ok|not ok) [0-9]+ (\S+))");
  for (const std::string& line : out) {
    std::smatch match;
    printed.began = printed.began || line == "KTAP version 1";
    if (std::regex_search(line, match, result)) {
      printed.passed[match[2].str()] = match[1].str() == "ok";
      continue;
    }
    if (!starts(line, "# "))
      continue;
    std::string text = line.substr(2);
    std::string check;
    std::optional<protocol::Line> said = protocol::read(text);
    std::string rest = said ? said->rest : "";
    using protocol::Kind;
    if (said && said->kind == Kind::loaded) {
      std::string name;
      Load load;
      if (parse_load(rest, &name, &load) && name == module)
        printed.loads.push_back(load);
    } else if (said && said->kind == Kind::time) {
      std::istringstream fields(rest);
      double seconds = 0;
      fields >> check >> seconds;
      printed.seconds[check] = seconds;
    } else if (said && said->kind == Kind::hung) {
      printed.hung = rest;
    } else if (said && said->kind == Kind::stalled) {
      printed.stalled = rest;
    } else if (said && said->kind == Kind::note) {
      std::size_t space = rest.find(' ');
      if (space != std::string::npos)
        printed.notes[rest.substr(0, space)].push_back(rest.substr(space + 1));
    } else if (said && said->kind == Kind::kept) {
      printed.kept = rest;
    } else if (said && said->kind == Kind::fresh_boot) {
      printed.fresh_boot = true;
    } else {
      // A check's own lines: "CHECK: why", and kmemleak's report of its
      // leaks, a line at a time, while that check runs.
      for (const std::string& c : checks) {
        if (!printed.passed.count(c) && said && said->kind == Kind::report) {
          printed.reports[c].push_back(rest);
          break;
        }
        if (starts(text, c + ": ")) {
          printed.reasons[c].push_back(text.substr(c.size() + 2));
          break;
        }
      }
    }
  }
  return printed;
}

// The bench's own task that a report is about ("modcheck"), when the
// module has no part in it: none of its frames, no word of it, not in its
// loading or unloading, no address where modules lie (x86-64's module
// area, past the kernel's text: code of a module gone and not named), not
// in an interrupt, where the task is whichever one was interrupted.  Empty
// when the module may be the cause.
std::string bench_task(const Lines& report, const std::string& module) {
  static const std::regex task(
      R"((?:Comm: |task )(modcheck|rawcall|callcost|consumer|producer|sh|init)\b)");
  static const std::regex module_area(R"(\bffffffff[a-f][0-9a-f]{7}\b)");
  std::string found;
  for (const std::string& line : report) {
    if (names_module(line, module) || contains(line, "finit_module") ||
        contains(line, "delete_module") || contains(line, "do_init_module") ||
        contains(line, "free_module") || contains(line, "<IRQ>") ||
        contains(line, "<SOFTIRQ>") || std::regex_search(line, module_area))
      return "";
    std::smatch match;
    if (found.empty() && std::regex_search(line, match, task))
      found = match[1].str();
  }
  return found;
}

// The console's lines check by check, from each one's marker on.
std::map<std::string, Lines> console_by_check(const Lines& console) {
  std::map<std::string, Lines> sections;
  Lines* current = nullptr;
  for (const std::string& line : console) {
    std::optional<protocol::Line> said = protocol::read_in(line);
    if (said && said->kind == protocol::Kind::check_begins) {
      current = &sections[said->rest];
      current->clear();
    }
    if (current)
      current->push_back(line);
  }
  return sections;
}

// Seconds between the first and last stamped lines.
double stamped_span(const Lines& lines) {
  static const std::regex stamp(R"(^\[ *([0-9]+\.[0-9]+)\])");
  double first = -1, last = 0;
  for (const std::string& line : lines) {
    std::smatch match;
    if (!std::regex_search(line, match, stamp))
      continue;
    last = std::stod(match[1].str());
    if (first < 0)
      first = last;
  }
  return first < 0 ? 0 : last - first;
}

}  // namespace

std::string how_it_ended(const Lines& section, const Boot& boot) {
  if (boot.silent || any_contains(section, "NMI: Not continuing"))
    return "the guest stopped making progress (no heartbeat); every task's stack follows";
  if (any_contains(section, "blocked for more than") || any_contains(section, "soft lockup") ||
      any_contains(section, "detected stall"))
    return "the guest hung, and the kernel's detector ended it";
  if (any_contains(section, "Kernel panic"))
    return "the kernel crashed";
  if (boot.timed_out)
    return "the guest did not end within its time (timeout)";
  return "the guest ended early";
}

Judged judge_boot(const Boot& boot, const std::vector<std::string>& checks,
                  const Module& module, bool keep_going) {
  Printed printed = read_out(boot.out, checks, module.name);
  // Where the module was loaded, from the kernel's log too: that reaches
  // the host even when the guest crashed before its output did.
  for (const std::string& line : boot.console) {
    std::optional<protocol::Line> said = protocol::read_in(line);
    std::string name;
    Load load;
    if (said && said->kind == protocol::Kind::loaded && parse_load(said->rest, &name, &load) &&
        name == module.name)
      printed.loads.push_back(load);
  }
  std::map<std::string, Lines> sections = console_by_check(boot.console);

  // What each check's failure rests on, with the unloaded module's
  // addresses named; then every frame of the module by source line.
  std::map<std::string, Lines> reports;
  std::vector<std::string> frames;
  for (const std::string& check : checks) {
    // The kernel's lines only: the guest's init writes to the console too.
    Lines kernel;
    for (const std::string& line : sections[check])
      if (starts(line, "["))
        kernel.push_back(line);
    Lines said = reported(kernel, module.name);
    Lines& kmemleak = printed.reports[check];
    said.insert(said.end(), kmemleak.begin(), kmemleak.end());
    reports[check] = name_unloaded(said, module.name, printed.loads, module.symbols);
    for (std::string& frame : module_frames(reports[check], module.name))
      frames.push_back(frame);
  }
  std::map<std::string, std::string> lines;
  if (module.lines) {
    // A return address is looked up one byte back, in the call.
    std::set<std::string> returns;
    for (const auto& [check, report] : reports)
      for (const std::string& frame : return_frames(report, module.name))
        returns.insert(frame);
    std::vector<std::string> asked;
    for (const std::string& frame : frames)
      asked.push_back(returns.count(frame) ? before_return(frame) : frame);
    std::map<std::string, std::string> found = module.lines(asked);
    for (std::size_t i = 0; i < frames.size(); ++i)
      if (auto at = found.find(asked[i]); at != found.end())
        lines[frames[i]] = at->second;
  }
  Locate locate = [&](std::string_view frame) {
    std::string key(frame.substr(0, frame.find(' ')));
    auto at = lines.find(key);
    return at == lines.end() ? std::string() : at->second;
  };
  auto annotate = [&](const Lines& report) {
    Lines out;
    for (const std::string& line : report) {
      std::smatch match;
      std::string where;
      if (std::regex_search(line, match, frame_pattern()) && match[3].str() == module.name)
        where = locate(frame_of(match));
      out.push_back(where.empty() ? line : line + " (" + where + ")");
    }
    return out;
  };

  // A check that failed after others in its boot may need them to fail
  // again (a leak their refused calls caused, memory they left freed):
  // said, with what replays them together.
  auto replay = [&](const std::string& check) {
    std::string before;
    for (const std::string& c : checks) {
      if (c == check)
        break;
      before += (before.empty() ? "" : ",") + c;
    }
    return before.empty() ? std::string()
                          : "it ran after " + before + " in one boot: if --only " + check +
                                " passes alone, replay with --only " + before + "," + check;
  };

  Judged judged;
  std::string ended;  // the check in which the guest or the module stopped
  std::string reporter;  // the last check that ran
  bool crashed = false;
  for (const std::string& check : checks) {
    Verdict verdict;
    verdict.module = module.name;
    verdict.check = check;
    const Lines& reasons = printed.reasons[check];
    const Lines& report = reports[check];
    if (!ended.empty()) {
      if (keep_going) {
        judged.remaining.push_back(check);
        continue;
      }
      verdict.result = Verdict::Result::not_run;
      verdict.title = std::string("not run: the module already ") +
                      (crashed ? "crashed the kernel" : "hung") + " in " + ended;
      judged.verdicts.push_back(verdict);
      continue;
    }
    auto result = printed.passed.find(check);
    if (result == printed.passed.end() && !printed.kept.empty()) {
      verdict.result = Verdict::Result::not_run;
      verdict.title = "not run: the guest was kept at a shell after " + printed.kept + " failed";
      judged.verdicts.push_back(verdict);
      continue;
    }
    if (result == printed.passed.end() && printed.fresh_boot) {
      // The kernel gives some reports once per boot (KASAN's first, a
      // WARN_ONCE; lockdep turns itself off), and what a module left
      // behind trips its next load, so no later check of this boot could
      // be trusted.
      if (keep_going) {
        judged.remaining.push_back(check);
        continue;
      }
      verdict.result = Verdict::Result::not_run;
      verdict.title = (reports[reporter].empty()
                           ? "not run: " + reporter + " left the module's traces behind"
                           : "not run: the kernel already reported a fault in " + reporter) +
                      " (--keep-going runs the checks left in a fresh boot)";
      judged.verdicts.push_back(verdict);
      continue;
    }
    if (result == printed.passed.end() && !printed.began) {
      verdict.result = Verdict::Result::failed;
      verdict.title = "the guest ended before the checks began";
      std::size_t from = boot.console.size() > 25 ? boot.console.size() - 25 : 0;
      verdict.body.assign(boot.console.begin() + static_cast<long>(from), boot.console.end());
      judged.verdicts.push_back(verdict);
      ended = check;
      crashed = true;
      continue;
    }
    reporter = check;
    verdict.seconds = printed.seconds.count(check) ? printed.seconds[check]
                                                   : stamped_span(sections[check]);
    Lines cut = annotate(cut_report(report));
    if (result != printed.passed.end()) {
      if (result->second) {
        // A passing run says what replays it (fuzz's seed).
        for (const std::string& note : printed.notes[check])
          if (starts(note, "seed "))
            verdict.title = note;
        judged.verdicts.push_back(verdict);
        continue;
      }
      verdict.result = Verdict::Result::failed;
      std::vector<std::string> own;
      for (const std::string& reason : reasons)
        if (!starts(reason, "the kernel reported: "))
          own.push_back(reason);
      // A report of the bench's own doing judges the bench, not the
      // module: the check is not judged, and the run says so.
      if (std::string task = bench_task(report, module.name); !task.empty() && own.empty()) {
        verdict.result = Verdict::Result::not_run;
        verdict.title = "not judged: the bench's own " + task + " met \"" +
                        report_title(report, module.name, locate) +
                        "\", with no part of the module in it (run the check again)";
        verdict.body = cut;
        judged.verdicts.push_back(verdict);
        continue;
      }
      if (!report.empty())
        verdict.title = report_title(report, module.name, locate);
      else if (!own.empty())
        verdict.title = own.front() + (own.size() > 1 ? " (and " + std::to_string(own.size() - 1) + " more)" : "");
      else
        verdict.title = "failed";
      for (const std::string& reason : own)
        if (report.empty() ? reason != own.front() : true)
          verdict.body.push_back(reason);
      const Lines& notes = printed.notes[check];
      verdict.body.insert(verdict.body.end(), notes.begin(), notes.end());
      verdict.body.insert(verdict.body.end(), cut.begin(), cut.end());
      if (std::string again = replay(check); !again.empty())
        verdict.body.push_back(again);
      if (printed.hung == check)
        ended = check;
      judged.verdicts.push_back(verdict);
      continue;
    }
    // The guest ended in this check: a hang, a crash, no progress.
    verdict.result = Verdict::Result::failed;
    bool stalled = printed.stalled == check || boot.silent ||
                   any_contains(sections[check], "NMI: Not continuing");
    std::string how = printed.stalled == check
                          ? "the check made no progress within its time; every task's stack follows"
                          : how_it_ended(sections[check], boot);
    std::string frame = first_module_frame(report, module.name);
    if (stalled)
      verdict.title = "the guest stopped making progress" +
                      (frame.empty() ? "" : ", in " + place_of_frame(frame, locate));
    else
      verdict.title = report.empty() ? how : report_title(report, module.name, locate);
    // Where the module was: a crash after rmmod is in code it left behind.
    std::string stage;
    for (const std::string& line : sections[check]) {
      std::optional<protocol::Line> said = protocol::read_in(line);
      if (said && said->kind == protocol::Kind::rmmod)
        stage = "in rmmod";
      else if (said && said->kind == protocol::Kind::unloaded)
        stage = "after rmmod";
      else if (said && said->kind == protocol::Kind::loaded)
        stage.clear();
    }
    verdict.body.push_back(how + (stage.empty() ? "" : ", " + stage));
    verdict.body.insert(verdict.body.end(), reasons.begin(), reasons.end());
    const Lines& notes = printed.notes[check];
    verdict.body.insert(verdict.body.end(), notes.begin(), notes.end());
    verdict.body.insert(verdict.body.end(), cut.begin(), cut.end());
    if (std::string again = replay(check); !again.empty())
      verdict.body.push_back(again);
    judged.verdicts.push_back(verdict);
    ended = check;
    crashed = !stalled && !contains(how, "hung");
  }
  return judged;
}

}  // namespace modvm
