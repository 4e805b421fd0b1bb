#include "kernel_log.h"

#include <regex>
#include <set>

namespace modvm {
namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool starts(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A line of the registers' dump ("R10: ... R12: ..."), but RIP's.
bool is_registers(const std::string& line) {
  static const std::regex registers(R"(^ *(R[A-HJ-Z0-9][A-Z0-9]?|FS|CS|CR2|DR[0-7]): )");
  return std::regex_search(line, registers);
}

}  // namespace

std::string trim(std::string_view text) {
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos)
    return "";
  std::size_t end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

const std::regex& frame_pattern() {
  static const std::regex pattern(
      R"(([A-Za-z0-9_.$]+)\+(0x[0-9a-f]+)/0x[0-9a-f]+ \[([a-z0-9_]+)(, unloaded)?\])");
  return pattern;
}

std::string frame_of(const std::smatch& match) {
  std::string frame = match.str(0);
  return frame.substr(0, frame.find(' '));
}

bool names_module(std::string_view line, std::string_view module) {
  if (module.empty())
    return std::regex_search(line.begin(), line.end(), frame_pattern());
  std::string tag = "[" + std::string(module);
  std::size_t at = line.find(tag);
  return at != std::string_view::npos &&
         (line.substr(at + tag.size(), 1) == "]" ||
          line.substr(at + tag.size(), 1) == ",");
}

std::string strip_stamp(std::string_view line) {
  static const std::regex stamp(R"(^\[ *[0-9]+\.[0-9]+\] ?)");
  static const std::regex caller(R"(^\[ *[TC][0-9]+\] ?)");
  std::string text = std::regex_replace(std::string(line), stamp, "",
                                        std::regex_constants::format_first_only);
  text = std::regex_replace(text, caller, "",
                            std::regex_constants::format_first_only);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r'))
    text.pop_back();
  return text;
}

bool is_noise(std::string_view text) {
  static constexpr std::string_view kNoise[] = {
      "loading out-of-tree module taints kernel",
      "module verification failed",
      "hrtimer: interrupt took",
      "clocksource",
      "tsc: ",
      "Unstable clock detected, switching default tracing clock",
      "If you want to keep using the local clock, then add:",
      "\"trace_clock=local\"",
  };
  for (std::string_view noise : kNoise)
    if (contains(text, noise))
      return true;
  return starts(text, "modvm: ") || starts(text, "reboot: ") ||
         text == "on the kernel command line";
}

Lines drop_foreign_races(const Lines& lines, std::string_view module) {
  Lines kept, race;
  bool in_race = false, ours = false;
  for (const std::string& line : lines) {
    std::string text = strip_stamp(line);
    if (!text.empty() && text.find_first_not_of('=') == std::string::npos)
      continue;
    if (starts(text, "BUG: KCSAN: ")) {
      in_race = true;
      race = {line};
      ours = names_module(text, module);
      continue;
    }
    if (!in_race) {
      kept.push_back(line);
      continue;
    }
    race.push_back(line);
    ours = ours || names_module(text, module);
    if (starts(text, "Reported by Kernel Concurrency Sanitizer")) {
      in_race = false;
      if (ours)
        kept.insert(kept.end(), race.begin(), race.end());
    }
  }
  if (in_race && ours)
    kept.insert(kept.end(), race.begin(), race.end());
  return kept;
}

Lines reported(const Lines& lines, std::string_view module) {
  Lines texts;
  for (const std::string& line : lines) {
    std::string text = strip_stamp(line);
    if (!is_noise(text))
      texts.push_back(text);
  }
  Lines kept;
  for (std::string& text : drop_foreign_races(texts, module))
    if (!trim(text).empty())
      kept.push_back(std::move(text));
  return kept;
}

Lines cut_report(const Lines& lines, std::size_t max) {
  static const std::regex headline(
      R"((BUG|WARNING|INFO|Oops|kernel BUG|general protection|Kernel panic|list_[a-z_]+ corruption|unreferenced object|KASAN|KCSAN|possible circular|possible recursive|inconsistent lock|hung_task|blocked for more than|soft lockup|stall|scheduling while atomic|sleeping function|in_atomic|ODEBUG|cabgate:|refcount_t:|RIP: | Comm: |NMI))");
  static const std::regex module_frame(R"(\[[a-z0-9_]+(, unloaded)?\] *$)");
  static const std::regex access(
      R"(^ *(Read|Write|Freed|Allocated|The buggy address|race at|value changed))");
  static const std::regex lock(R"((lock\(|\(&|\((&|[a-z_]+lock|[a-z_]+mutex|[a-z_]+sem)[^)]*\)\{))");
  static const std::regex blocked(R"(INFO: task (.+):([0-9]+) blocked for more than)");
  static const std::regex held_by(R"(locks? held by (.+)/([0-9]+):$)");
  Lines kept;
  std::set<std::string> said, blocked_tasks;
  std::size_t more = 0;
  bool after_cut_here = false, after_located = false, foreign_locks = false;
  for (const std::string& raw : lines) {
    std::string line = strip_stamp(raw);
    // kmemleak's hashed pointers say nothing.
    std::size_t hashed = line.find("[<(____ptrval____)>] ");
    if (hashed != std::string::npos)
      line.erase(hashed, 21);
    std::smatch match;
    // The tasks the report is about: a blocked one, or the one that
    // crashed; the locks other tasks hold are not the module's.
    static const std::regex comm(R"(PID: ([0-9]+) Comm: (\S+))");
    if (std::regex_search(line, match, blocked))
      blocked_tasks.insert(match[1].str() + "/" + match[2].str());
    else if (blocked_tasks.empty() && std::regex_search(line, match, comm))
      blocked_tasks.insert(match[2].str() + "/" + match[1].str());
    if (std::regex_search(line, match, held_by))
      foreign_locks = !blocked_tasks.empty() &&
                      !blocked_tasks.count(match[1].str() + "/" + match[2].str());
    else if (!starts(trim(line), "#"))
      foreign_locks = false;
    // KASAN's "located N bytes inside of" goes on with the region's size,
    // which is what shows an access one past its end.
    bool keep = (after_cut_here && !contains(line, "cut here")) || after_located;
    after_cut_here = contains(line, "[ cut here ]");
    after_located = contains(line, "The buggy address is located");
    keep = keep || std::regex_search(line, headline) ||
           std::regex_search(line, module_frame) ||
           std::regex_search(line, access) ||
           (std::regex_search(line, lock) && !foreign_locks) ||
           std::regex_search(line, std::regex(R"(^ *\[<[0-9a-f]+>\] 0x[0-9a-f]+$)")) ||
           starts(trim(line), "backtrace");
    std::string bare = trim(line);
    if (bare.empty() || bare.find_first_not_of("-=") == std::string::npos ||
        starts(bare, "? ") || contains(line, "hung_task_timeout_secs\" disables") ||
        starts(line, "RIP: 0033:") || contains(line, "[<0000000000000000>] 0x0") ||
        is_registers(line) ||
        (starts(bare, "#") && foreign_locks) || said.count(line))
      keep = false;
    if (!keep)
      continue;
    said.insert(line);
    if (kept.size() < max)
      kept.push_back(line);
    else
      ++more;
  }
  if (more)
    kept.push_back("(" + std::to_string(more) + " more lines)");
  return kept;
}

std::string first_module_frame(const Lines& report, std::string_view module) {
  for (const std::string& line : report) {
    std::string text = strip_stamp(line);
    if (starts(trim(text), "? ") || is_registers(text))
      continue;
    for (std::sregex_iterator it(text.begin(), text.end(), frame_pattern()), end;
         it != end; ++it)
      if (module.empty() || (*it)[3].str() == module)
        return (*it)[0].str();
  }
  return "";
}

namespace {

std::string function_of(std::string_view frame) {
  std::string text(frame);
  std::size_t plus = text.find('+');
  return plus == std::string::npos ? text : text.substr(0, plus);
}

// The first lock named after the line that holds `after` (or anywhere,
// with an empty `after`): "car_mutex" of "... (car_mutex){+.+.}-{3:3}".
std::string lock_after(const Lines& report, std::string_view after) {
  static const std::regex lock(R"(\(([^()]+)\)\{)");
  bool seen = after.empty();
  for (const std::string& line : report) {
    if (!seen) {
      seen = contains(line, after);
      continue;
    }
    std::smatch match;
    if (std::regex_search(line, match, lock))
      return match[1].str();
  }
  return "";
}

}  // namespace

// "el_request (ok_wq.c:209)", or of an unloaded module's code, where
// nothing of it should run any more, "rider_free_rcu+0x0 of the unloaded
// f_rcu: an RCU callback, timer or work item outlived the module".
std::string place_of_frame(std::string_view frame, const Locate& locate, bool ran) {
  std::cmatch match;
  if (!std::regex_search(frame.begin(), frame.end(), match, frame_pattern()))
    return std::string(frame);
  // Of a chain of inlined calls, the line in the frame's own function:
  // the last.
  std::string line = locate ? locate(frame) : "";
  static const std::regex file_line(R"([^ ,;()]+:[0-9]+)");
  std::string last;
  for (std::sregex_iterator it(line.begin(), line.end(), file_line), end; it != end; ++it)
    last = (*it)[0].str();
  std::string at = last.empty() ? "" : " (" + last + ")";
  if (match[4].matched && ran)
    return match[1].str() + "+" + match[2].str() + at + " of the unloaded " +
           match[3].str() +
           ": a thread, timer, work item or RCU callback outlived the module";
  return match[1].str() + at;
}

std::string report_title(const Lines& report, std::string_view module,
                         const Locate& locate) {
  if (report.empty())
    return "";
  std::string frame = first_module_frame(report, module);
  std::string in = frame.empty() ? "" : " in " + place_of_frame(frame, locate);
  static const std::regex kasan(R"(BUG: KASAN: ([a-z-]+) in ([^ ]+))");
  static const std::regex warning(R"(WARNING: CPU: [0-9]+ PID: [0-9]+ at [^ ]+ ([^ ]+))");
  static const std::regex bug_at(R"(^BUG: (.+?)( on CPU#?[0-9]+.*| at [^ ]+:[0-9]+|: [^ ]+/[0-9]+.*)?$)");
  static const std::regex leak(R"(^unreferenced object)");
  static const std::regex odebug(R"(ODEBUG: (.+?) \(active state [0-9]+\).*object type: ([a-z_]+)(?: hint: ([^ ]+))?)");
  std::string panic;
  // A timer or work item freed while armed is named by ODEBUG as it is
  // freed; what its callback then does in the freed memory (a lock
  // released that lockdep never saw taken, a fault) is its consequence.
  // KASAN's report, when first, names the access itself.
  std::size_t first = 0;
  for (std::size_t i = 0; i < report.size(); ++i) {
    if (contains(report[i], "BUG: KASAN: ") || contains(report[i], "BUG: KCSAN: "))
      break;
    if (contains(report[i], "ODEBUG: free active")) {
      first = i;
      break;
    }
  }
  for (std::size_t i = first; i < report.size(); ++i) {
    std::string line = trim(strip_stamp(report[i]));
    std::smatch match;
    if (std::regex_search(line, match, kasan)) {
      std::string access;
      for (std::size_t j = i + 1; j < report.size() && j < i + 4 && access.empty(); ++j)
        for (std::string_view kind : {"Read", "Write"})
          if (contains(report[j], std::string(kind) + " of size"))
            access = " " + std::string(kind);
      return "KASAN: " + match[1].str() + access +
             (in.empty() ? " in " + function_of(match[2].str()) : in);
    }
    if (starts(line, "BUG: KCSAN: "))
      return line.substr(5);
    if (contains(line, "possible recursive locking detected"))
      return "lockdep: recursive locking of " +
             lock_after(report, "is trying to acquire lock") + in;
    if (contains(line, "possible circular locking dependency detected"))
      return "lockdep: circular locking dependency between " +
             lock_after(report, "is trying to acquire lock") + " and " +
             lock_after(report, "already holding lock") + in;
    if (contains(line, "inconsistent lock state"))
      return "lockdep: inconsistent lock state of " + lock_after(report, "") + in;
    if (contains(line, "bad unlock balance detected")) {
      static const std::regex released(R"(trying to release lock \(([^()]+)\))");
      std::string lock;
      for (const std::string& l : report)
        if (std::regex_search(l, match, released) && lock.empty())
          lock = match[1].str();
      return "lockdep: bad unlock balance of " + lock + in;
    }
    if (contains(line, "lock held when returning to user space"))
      return "lockdep: " + lock_after(report, "held by") +
             " held when returning to user space, taken" + in;
    if (contains(line, "trying to register non-static key"))
      return "lockdep: a lock used before it was initialised" + in;
    if (contains(line, "suspicious RCU usage"))
      return "lockdep: suspicious RCU usage" + in;
    if (contains(line, "corruption") && starts(line, "list_"))
      return line.substr(0, line.find(' ')) + " corruption" + in;
    if (std::regex_search(line, match, odebug)) {
      // The hint names the object's function, not where it was freed.
      Lines rest;
      for (std::size_t j = i + 1; j < report.size(); ++j)
        if (!contains(report[j], "ODEBUG:"))
          rest.push_back(report[j]);
      frame = first_module_frame(rest, module);
      in = frame.empty() ? "" : " in " + place_of_frame(frame, locate);
      std::string hint = match[3].matched ? ", hint " + function_of(match[3].str()) : "";
      bool freeing_module = false;
      for (const std::string& l : report)
        freeing_module = freeing_module || contains(l, "free_module") ||
                         contains(l, "delete_module");
      if (frame.empty() && freeing_module)
        in = ", as rmmod freed the module's memory: a timer or work item of it was left armed";
      return "ODEBUG: " + match[1].str() + " " + match[2].str() + hint + in;
    }
    if (std::regex_search(line, match, warning)) {
      std::string message;
      if (i > 0 && !contains(report[i - 1], "cut here") &&
          !contains(report[i - 1], "WARNING"))
        message = ": " + trim(strip_stamp(report[i - 1]));
      std::string at = function_of(match[1].str());
      if (!frame.empty() && function_of(frame) == at)
        return "WARNING in " + place_of_frame(frame, locate) + message;
      return "WARNING in " + at + message +
             (frame.empty() ? "" : ", from " + place_of_frame(frame, locate));
    }
    if (contains(line, " blocked for more than "))
      return "INFO: task hung" + in;
    if (contains(line, "soft lockup"))
      return "BUG: soft lockup" + in;
    if (contains(line, "detected stall") || contains(line, "self-detected stall"))
      return "INFO: rcu detected stall" + in;
    if (std::regex_search(line, match, leak))
      return "memory leak" + (frame.empty() ? "" : " in " + place_of_frame(frame, locate, false));
    if (starts(line, "cabgate: "))
      return line;
    if (starts(line, "general protection fault"))
      return "general protection fault" + in;
    if (starts(line, "kernel BUG at"))
      return "kernel BUG" + in;
    for (std::string_view fault : {"BUG: unable to handle page fault",
                                   "BUG: kernel NULL pointer dereference"})
      if (starts(line, fault))
        return std::string(fault) + in;
    if (std::regex_search(line, match, bug_at))
      return "BUG: " + match[1].str() + in;
    if (starts(line, "Kernel panic - not syncing: ") && panic.empty())
      panic = "Kernel panic: " + line.substr(28);
  }
  if (!panic.empty())
    return panic;
  return trim(strip_stamp(report.front()));
}

}  // namespace modvm
