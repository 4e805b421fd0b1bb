// modcheck: the checks of an elevator module, run in the modvm guest as its
// only program; prints KTAP (version 1) on standard output.
//
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
#include <dirent.h>
#include <fcntl.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel_log.h"

namespace {

constexpr long kStart = 323;
constexpr long kRequest = 324;
constexpr long kStop = 325;

struct Options {
  std::string ko, name, proc, only;
  double storm_seconds = 15;
  double fuzz_seconds = 30;
  unsigned long seed = 0;
  bool seeded = false;
  bool keep = false;
};
Options options;

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pause_for(double seconds) {
  timespec ts{static_cast<time_t>(seconds),
              static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string error_name(int error) {
  const char* name = strerrorname_np(error);
  return name ? name : "E" + std::to_string(error);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What one call answered: "0", "1", "-1 EINVAL".
std::string call(long nr, long a = 0, long b = 0, long c = 0) {
  errno = 0;
  long result = syscall(nr, a, b, c);
  if (result == -1)
    return "-1 " + error_name(errno);
  return std::to_string(result);
}

std::string request_text(long type, long start, long dest) {
  return "request(" + std::to_string(type) + ", " + std::to_string(start) +
         ", " + std::to_string(dest) + ")";
}

bool valid_request(long type, long start, long dest) {
  return type >= 0 && type <= 2 && start >= 1 && start <= 10 && dest >= 1 &&
         dest <= 10 && start != dest;
}

// What is wrong with an answer, after a colon; empty when it is one of
// `want` ("0", "1" or "0 1").
std::string misanswer(const std::string& got, const std::string& want) {
  if (got == "-1 ENOSYS")
    return ": no operations registered";
  if (got == "-1 EPROTO")
    return ": the module answered neither 0, 1 nor an error";
  if (got.rfind("-1 ", 0) == 0)
    return ": a refusal must be the plain value 1, not an error code";
  std::string alternatives = want;
  std::size_t space = alternatives.find(' ');
  if (space != std::string::npos)
    alternatives.replace(space, 1, " or ");
  return ", want " + alternatives;
}

bool answer_in(const std::string& got, const std::string& want) {
  return (" " + want + " ").find(" " + got + " ") != std::string::npos;
}

// The kernel's log, read from where this program started: records of
// warning level or worse.
class KernelLog {
 public:
  KernelLog() : fd_(open("/dev/kmsg", O_RDWR | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ >= 0)
      lseek(fd_, 0, SEEK_END);
  }

  void say(const std::string& text) const {
    std::string record = "<4>modvm: " + text;
    if (fd_ >= 0 && write(fd_, record.data(), record.size()) < 0)
      std::perror("modcheck: /dev/kmsg");
  }

  modvm::Lines drain() {
    modvm::Lines lines;
    char record[8192];
    for (;;) {
      ssize_t n = read(fd_, record, sizeof record - 1);
      if (n < 0 && errno == EPIPE)
        continue;  // overwritten before it was read: the next one follows
      if (n <= 0)
        break;
      record[n] = '\0';
      char* text = std::strchr(record, ';');
      if (!text || std::atoi(record) % 8 > 4)
        continue;
      std::string line(text + 1);
      line = line.substr(0, line.find('\n'));
      lines.push_back(line);
    }
    return lines;
  }

 private:
  int fd_;
};
KernelLog kernel_log;

// The state of the check that runs, for the watchdog.
std::atomic<double> deadline{0};
std::atomic<bool> beating{true};
std::string current_check;
std::mutex output_lock;

void diagnostic(const std::string& text) {
  std::lock_guard<std::mutex> hold(output_lock);
  std::printf("# %s\n", text.c_str());
  std::fflush(stdout);
}

// Beats once a second; past the check's deadline, says so, has the kernel
// show every task's stack, and ends the guest.
void watchdog() {
  int beat = open("/dev/ttyS3", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  for (;;) {
    pause_for(1);
    if (beat >= 0 && beating && write(beat, ".", 1) < 0) {
      close(beat);
      beat = -1;
    }
    double until = deadline;
    if (until == 0 || now() < until)
      continue;
    diagnostic("modvm: stalled " + current_check);
    int trigger = open("/proc/sysrq-trigger", O_WRONLY | O_CLOEXEC);
    if (trigger >= 0) {
      if (write(trigger, "t", 1) < 0)
        std::perror("modcheck: /proc/sysrq-trigger");
      close(trigger);
    }
    pause_for(2);
    sync();
    reboot(RB_AUTOBOOT);
  }
}

class Check {
 public:
  void fail(const std::string& why) { reasons.push_back(why); }
  bool failed() const { return !reasons.empty(); }

  std::vector<std::string> reasons;
  bool hung = false;
  bool left = false;  // something of the module is left behind
};

// The module.

bool module_loaded() {
  std::ifstream modules("/proc/modules");
  std::string line;
  while (std::getline(modules, line))
    if (line.rfind(options.name + " ", 0) == 0)
      return true;
  return false;
}

// Tells the host where the module's code lies: its core's base and size
// and each section's address.
void announce_loaded() {
  // The sections first: while a failing init unwinds, they go first.
  std::string sections;
  std::string dir = "/sys/module/" + options.name + "/sections";
  std::string text = read_file(dir + "/.text");
  if (!text.empty())
    sections = " .text=" + text.substr(0, text.find('\n'));
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      std::string section = entry->d_name;
      if (section.find("text") == std::string::npos || section == ".text")
        continue;
      std::string address = read_file(dir + "/" + section);
      address = address.substr(0, address.find('\n'));
      if (!address.empty())
        sections += " " + section + "=" + address;
    }
    closedir(d);
  }
  std::ifstream modules("/proc/modules");
  std::string line, base, size;
  while (std::getline(modules, line)) {
    std::istringstream fields(line);
    std::string name, refs, deps, state;
    fields >> name >> size >> refs >> deps >> state >> base;
    if (name == options.name)
      break;
    base.clear();
  }
  std::string said = "loaded " + options.name + " " + (base.empty() ? "-" : base) + " " +
                     (size.empty() ? "-" : size) + sections;
  diagnostic("modvm: " + said);
  // Also in the kernel's log, which reaches the host even when the kernel
  // crashes a moment later.
  kernel_log.say(said);
}

// One finit_module, as kmod's insmod does.
int insmod(const std::string& path, const char* params = "") {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return errno;
  int error = syscall(SYS_finit_module, fd, params, 0) == 0 ? 0 : errno;
  close(fd);
  return error;
}

bool load(Check& check) {
  if (int error = insmod(options.ko)) {
    check.fail("insmod failed: " + std::string(std::strerror(error)));
    return false;
  }
  announce_loaded();
  return true;
}

// The helper module's parameters (modvm/testmod/modvm_watch.c).
const char kWatchKo[] = "/lib/modvm_watch.ko";
const char kWatchParameters[] = "/sys/module/modvm_watch/parameters/";

// Which module's going the helper holds ("" for none).
void watch_hold(const std::string& name) {
  std::ofstream(std::string(kWatchParameters) + "hold") << (name.empty() ? "\n" : name)
                                                       << std::flush;
}

// One rmmod; 0 or its errno.  The kernel's log is told before and after,
// so the host can tell whether a crash came in rmmod or after it; after,
// once the RCU callbacks queued before it ran: one the module left runs
// in its freed code, and faults, while the check that unloaded it is on.
int rmmod_once(const std::string& name) {
  kernel_log.say("rmmod");
  if (syscall(SYS_delete_module, name.c_str(), O_NONBLOCK) != 0)
    return errno;
  std::ofstream(std::string(kWatchParameters) + "barrier") << "1" << std::flush;
  kernel_log.say("unloaded");
  return 0;
}

// rmmod, again while the module is busy, for ten seconds at most.
bool unload(Check& check) {
  int error = 0;
  for (double until = now() + 10; now() < until; pause_for(0.1))
    if ((error = rmmod_once(options.name)) == 0 || error == ENOENT)
      return true;
  check.fail("rmmod failed: " + std::string(std::strerror(error)));
  check.hung = true;
  return false;
}

// What the module may leave behind: kernel threads (kworkers come and go)
// and /proc entries.
struct Traces {
  std::map<std::string, std::string> threads;  // pid, name
  std::set<std::string> proc;
};

Traces traces_now() {
  Traces traces;
  if (DIR* d = opendir("/proc")) {
    while (dirent* entry = readdir(d)) {
      std::string name = entry->d_name;
      if (name.find_first_not_of("0123456789") != std::string::npos) {
        traces.proc.insert("/proc/" + name);
        continue;
      }
      std::string stat = read_file("/proc/" + name + "/stat");
      std::size_t close_paren = stat.rfind(')');
      if (close_paren == std::string::npos || close_paren + 2 > stat.size())
        continue;
      std::istringstream fields(stat.substr(close_paren + 2));
      std::string state, ppid;
      fields >> state >> ppid;
      std::string comm = read_file("/proc/" + name + "/comm");
      comm = comm.substr(0, comm.find('\n'));
      if (ppid == "2" && comm.rfind("kworker/", 0) != 0)
        traces.threads[name] = comm;
    }
    closedir(d);
  }
  for (const char* dir : {"/proc/driver", "/proc/fs"})
    if (DIR* d = opendir(dir)) {
      while (dirent* entry = readdir(d))
        if (entry->d_name[0] != '.')
          traces.proc.insert(std::string(dir) + "/" + entry->d_name);
      closedir(d);
    }
  return traces;
}

void check_traces(Check& check, const Traces& before, const std::string& after) {
  Traces left = traces_now();
  std::string threads;
  for (const auto& [pid, name] : left.threads)
    if (!before.threads.count(pid))
      threads += (threads.empty() ? "" : ", ") + name + " (pid " + pid + ")";
  if (!threads.empty()) {
    check.fail("a thread still runs " + after + ": " + threads);
    check.left = true;
  }
  for (const std::string& entry : left.proc)
    if (!before.proc.count(entry)) {
      check.fail(entry + " is still there " + after);
      check.left = true;
    }
}

void expect_answer(Check& check, const std::string& what, const std::string& want,
                   long nr, long a = 0, long b = 0, long c = 0) {
  std::string got = call(nr, a, b, c);
  if (!answer_in(got, want))
    check.fail(what + " answered " + got + misanswer(got, want));
}

// Calls from several threads at once.
struct Tally {
  long calls = 0, zero = 0, one = 0, enosys = 0, bad = 0;
  std::string first_bad;
  std::vector<std::string> last;  // the last calls, oldest first

  void count(const std::string& what, const std::string& got, bool bad_answer) {
    ++calls;
    if (got == "0")
      ++zero;
    else if (got == "1")
      ++one;
    else if (got == "-1 ENOSYS")
      ++enosys;
    if (bad_answer && bad++ == 0)
      first_bad = what + " answered " + got;
    last.push_back(what + " = " + got);
    if (last.size() > 6)
      last.erase(last.begin());
  }
};

class Storm {
 public:
  // Runs `body` on `count` threads until `seconds` pass; each gets its
  // index, its tally and the time to end.
  using Body = std::function<void(int, Tally&, double)>;

  Storm(int count, double seconds, const Body& body)
      : state_(std::make_shared<State>(static_cast<std::size_t>(count))),
        seconds_(seconds) {
    double until = now() + seconds;
    for (int i = 0; i < count; ++i)
      // A thread stuck in a call outlives the storm: it shares the state.
      std::thread([state = state_, i, until, body] {
        body(i, state->tallies[static_cast<std::size_t>(i)], until);
        ++state->done;
      }).detach();
  }

  // Whether every thread ended within a minute of the storm's end; one
  // that did not is stuck in a call.
  bool wait() {
    double until = now() + seconds_ + 60;
    while (!finished() && now() < until)
      pause_for(0.05);
    return finished();
  }

  // Only once wait() said so.
  const std::vector<Tally>& tallies() const { return state_->tallies; }

 private:
  struct State {
    explicit State(std::size_t count) : tallies(count) {}
    std::vector<Tally> tallies;
    std::atomic<int> done{0};
  };

  bool finished() const {
    return state_->done == static_cast<int>(state_->tallies.size());
  }

  std::shared_ptr<State> state_;
  double seconds_;
};

// One request, counted: a request out of range must be refused (1), one
// in range answered 0 or 1; ENOSYS is the answer once the module is gone.
void call_request(Tally& tally, long type, long start, long dest) {
  std::string got = call(kRequest, type, start, dest);
  bool ok = got == "-1 ENOSYS" ||
            (valid_request(type, start, dest) ? answer_in(got, "0 1") : got == "1");
  tally.count(request_text(type, start, dest), got, !ok);
}

// Requests, one in eight out of range, as fast as they are answered.
void request_storm(int index, Tally& tally, double until) {
  std::mt19937 random(static_cast<unsigned>(getpid() * 31 + index));
  static const long kOut[] = {0, 11, -1, INT_MIN, INT_MAX};
  for (long i = 0; now() < until; ++i) {
    long type = random() % 3, start = 1 + random() % 10;
    long dest = 1 + (start + random() % 9) % 10;
    if (i % 8 == 7) {
      long out = kOut[random() % 5];
      if (random() % 2)
        type = out == 0 ? 3 : out;
      else
        start = out;
    }
    call_request(tally, type, start, dest);
  }
}

void toggle_storm(int, Tally& tally, double until) {
  for (long i = 0; now() < until; ++i) {
    long nr = i % 2 ? kStop : kStart;
    std::string got = call(nr);
    tally.count(nr == kStart ? "start()" : "stop()", got,
                !answer_in(got, "0 1 -1 ENOSYS"));
    pause_for(0.001);
  }
}

// Whether the storm's calls were all answered, and (unless `unloading`,
// when ENOSYS is the answer once the module is gone) none with ENOSYS.
void judge_storm(Check& check, Storm& storm, bool unloading) {
  if (!storm.wait()) {
    check.fail("calls unanswered a minute after the storm's end");
    check.hung = true;
    return;
  }
  for (const Tally& tally : storm.tallies()) {
    if (tally.bad)
      check.fail(tally.first_bad + misanswer(tally.first_bad.substr(
                                                 tally.first_bad.rfind(" answered ") + 10),
                                             "0 1") +
                 " (" + std::to_string(tally.bad) + " of " +
                 std::to_string(tally.calls) + " calls)");
    if (!unloading && tally.enosys)
      check.fail("calls answered -1 ENOSYS while the module was loaded (" +
                 std::to_string(tally.enosys) + " of " + std::to_string(tally.calls) + ")");
  }
}

// Reads the module's /proc file over and over until `until`.
void read_proc(double until, std::string* error) {
  while (now() < until) {
    std::ifstream in(options.proc);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      *error = "reading " + options.proc + " failed";
      return;
    }
  }
}

// The checks.

// A module that is unloaded, idle and while its car runs with calls in
// flight, leaves nothing behind: no thread, no /proc entry, no timer or
// work item that fires into its freed code (which the kernel reports, or
// crashes on), no operations registered.
void check_unload(Check& check) {
  Traces before = traces_now();
  if (!load(check))
    return;
  if (!unload(check))
    return;
  pause_for(2);
  check_traces(check, before, "after rmmod of the idle module");
  expect_answer(check, "a start after rmmod", "-1 ENOSYS", kStart);
  // A running car, riders aboard and waiting, never stopped: whatever
  // drives it (a thread, a timer, a work item) is armed as exit runs.
  if (check.failed() || !load(check))
    return;
  expect_answer(check, "start", "0", kStart);
  for (int start = 1; start <= 10; ++start)
    call(kRequest, start % 3, start, 11 - start);
  pause_for(1);
  if (!unload(check))
    return;
  pause_for(2);
  check_traces(check, before, "after rmmod of the running module");
  if (check.failed() || !load(check))
    return;
  expect_answer(check, "start", "0", kStart);
  for (int start = 1; start <= 10; ++start)
    call(kRequest, start % 3, start, 11 - start);
  Storm storm(3, options.storm_seconds, [](int i, Tally& tally, double until) {
    if (i == 2)
      toggle_storm(i, tally, until);
    else
      request_storm(i, tally, until);
  });
  pause_for(options.storm_seconds / 3);
  // rmmod under load: refused cleanly (the module stays and answers) or
  // done; the callers then get ENOSYS.
  int error = 0;
  for (double until = now() + 20; (error = rmmod_once(options.name)) != 0; pause_for(0.1)) {
    if (!module_loaded()) {
      check.fail("a refused rmmod left the module half gone: " + std::string(std::strerror(error)));
      break;
    }
    if (now() > until) {
      check.fail("rmmod refused for 20 s under load: " + std::string(std::strerror(error)));
      check.hung = true;
      break;
    }
  }
  judge_storm(check, storm, true);
  if (check.hung)
    return;
  pause_for(2);
  check_traces(check, before, "after rmmod under load");
  expect_answer(check, "a start after rmmod", "-1 ENOSYS", kStart);
}

void check_contract(Check& check) {
  if (!load(check))
    return;
  expect_answer(check, "the first start", "0", kStart);
  expect_answer(check, "a second start", "1", kStart);
  expect_answer(check, "a valid request (0, 1, 2)", "0 1", kRequest, 0, 1, 2);
  static const long kInvalid[][3] = {
      {3, 1, 2},  {-1, 1, 2}, {INT_MIN, 1, 2}, {INT_MAX, 1, 2},
      {0, 0, 2},  {0, 11, 2}, {0, -1, 2},      {0, 1, 0},
      {0, 1, 11}, {0, INT_MIN, INT_MAX},       {0, 5, 5}};
  for (const auto& r : kInvalid)
    expect_answer(check, request_text(r[0], r[1], r[2]), "1", kRequest, r[0], r[1], r[2]);
  expect_answer(check, "the first stop", "0", kStop);
  expect_answer(check, "a second stop", "1", kStop);
  expect_answer(check, "a start after the stops", "0 1", kStart);
  expect_answer(check, "a stop after that", "0 1", kStop);
  unload(check);
}

struct Ran {
  int status = -1;
  std::string out, err;
};

// Runs `argv` from /bin, its output collected.  With `held`, its standard
// output is a pipe read only once it blocks writing, and the clock is
// stepped 400 s forward then: the producer's window passes at once, as
// its sending then measures over 300 s.
Ran run(const std::vector<std::string>& argv, bool held = false) {
  int out[2], err[2];
  Ran ran;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    return ran;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(("/bin/" + argv[0]).c_str(), args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (held) {
    std::string syscall_file = "/proc/" + std::to_string(pid) + "/syscall";
    for (double until = now() + 120; now() < until; pause_for(0.05)) {
      std::string in = read_file(syscall_file);
      if (in.empty() || in.rfind("1 ", 0) == 0)
        break;
    }
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    wall.tv_sec += 400;
    clock_settime(CLOCK_REALTIME, &wall);
  }
  // Standard error is small; standard output is read first.
  char buffer[65536];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
    ran.out.append(buffer, static_cast<std::size_t>(n));
  for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;)
    ran.err.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ran;
}

std::string last_line(const std::string& text) {
  std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
  return trimmed.substr(trimmed.rfind('\n') + 1);
}

// The tools' scenario: consumer --start, the producer's 10,000
// passengers, consumer --stop.
void check_scenario(Check& check) {
  if (!load(check))
    return;
  std::string digest = run({"md5sum", "/bin/consumer"}).out.substr(0, 32);
  Ran start = run({"consumer", "--start"});
  if (start.status != 0 || start.out != digest + "\nElevator successfully started\n")
    check.fail("consumer --start: status " + std::to_string(start.status) +
               ", printed '" + last_line(start.out + start.err) + "'");
  Ran producer = run({"producer"}, true);
  long added = 0;
  for (std::size_t at = 0; (at = producer.out.find("Successfully added\n", at)) != std::string::npos; ++at)
    ++added;
  if (producer.status != 0 || added != 10000 || !producer.err.empty() ||
      last_line(producer.out) != "Time is up!!!")
    check.fail("producer: status " + std::to_string(producer.status) + " after " +
               std::to_string(added) + " passengers added, printed '" +
               last_line(producer.err.empty() ? producer.out : producer.err) + "'");
  Ran stop = run({"consumer", "--stop"});
  if (stop.status != 0 || stop.out != digest + "\nElevator is now stopped\n")
    check.fail("consumer --stop: status " + std::to_string(stop.status) +
               ", printed '" + last_line(stop.out + stop.err) + "'");
  unload(check);
}

void check_stress(Check& check) {
  if (!load(check))
    return;
  expect_answer(check, "start", "0", kStart);
  std::string proc_error;
  std::thread reader;
  if (!options.proc.empty())
    reader = std::thread(read_proc, now() + options.storm_seconds, &proc_error);
  Storm storm(4, options.storm_seconds, [](int i, Tally& tally, double until) {
    if (i == 3)
      toggle_storm(i, tally, until);
    else
      request_storm(i, tally, until);
  });
  judge_storm(check, storm, false);
  if (reader.joinable())
    reader.join();
  if (!proc_error.empty())
    check.fail(proc_error);
  if (check.hung)
    return;
  call(kStop);
  unload(check);
}

// kmemleak: the objects unreferenced after rmmod whose allocation went
// through the module (frames of an unloaded module print as bare
// addresses) or through the elevator's calls.  kmemleak reports an object
// found unreferenced by a scan when it is five seconds old and unchanged
// since the scan before.
void check_leaks(Check& check) {
  const std::string kmemleak = "/sys/kernel/debug/kmemleak";
  auto tell = [&](const char* what) {
    std::ofstream(kmemleak) << what << std::flush;
  };
  if (access(kmemleak.c_str(), F_OK) != 0) {
    check.fail("no kmemleak in this kernel");
    return;
  }
  tell("clear");
  if (!load(check))
    return;
  expect_answer(check, "start", "0", kStart);
  for (int start : {1, 2, 3, 5, 8})
    for (int i = 0; i < 100; ++i)
      call(kRequest, 1, start, 10);
  if (!unload(check))
    return;
  pause_for(6);
  tell("scan");
  tell("scan");
  std::ifstream in(kmemleak);
  std::string line, object;
  bool mine = false;
  int ours = 0, all = 0;
  std::vector<std::string> first;
  auto finish = [&] {
    if (!object.empty() && mine && ours++ == 0)
      first.push_back(object);
  };
  for (int n = 0; n < 3000 && std::getline(in, line); ++n) {
    if (line.rfind("unreferenced object", 0) == 0) {
      finish();
      ++all;
      object = line;
      mine = false;
      continue;
    }
    // Of an object: its headline, its task and its backtrace, not the
    // hex dump of its contents.
    bool frame = line.find("[<") != std::string::npos;
    if (!frame && (line.find("hex dump") != std::string::npos || line.rfind("    ", 0) == 0))
      continue;
    object += "\n" + line;
    if (line.find("] 0xffffffff") != std::string::npos ||
        line.find("cabgate") != std::string::npos)
      mine = true;
  }
  finish();
  if (ours) {
    check.fail("kmemleak: objects allocated through the module are unreferenced after rmmod (" +
               std::to_string(ours) + " of the first " + std::to_string(all) + " reported)");
    // The first of them, as the kernel would report it, for the host.
    std::istringstream lines(first.front());
    while (std::getline(lines, line))
      diagnostic("modvm: report " + line);
  }
  tell("clear");
}

void check_reload(Check& check) {
  for (int round = 1; round <= 5 && !check.failed(); ++round) {
    std::string r = " (round " + std::to_string(round) + ")";
    if (!load(check))
      return;
    expect_answer(check, "start" + r, "0", kStart);
    expect_answer(check, "a request" + r, "0 1", kRequest, 0, 1, 2);
    expect_answer(check, "stop" + r, "0", kStop);
    if (!unload(check))
      return;
  }
}

// Another elevator is registered, so the module's registration fails with
// -EBUSY: its init must fail and leave nothing behind.
void check_init_error(Check& check) {
  Traces before = traces_now();
  if (int error = insmod("/lib/cabgate_test.ko")) {
    check.fail("the other elevator did not load: " + std::string(std::strerror(error)));
    return;
  }
  // Where the module lies while its init runs, for the host to name what
  // of it outlives a failed init.  The helper holds the module's going
  // until that is read, so a watcher polling at its leisure cannot miss it.
  std::atomic<bool> loading{true};
  watch_hold(options.name);
  std::thread watcher([&loading] {
    std::string text = "/sys/module/" + options.name + "/sections/.text";
    while (loading && access(text.c_str(), F_OK) != 0)
      pause_for(0.002);
    if (loading)
      announce_loaded();
    watch_hold("");
  });
  int error = insmod(options.ko);
  loading = false;
  watcher.join();
  if (error == 0) {
    check.fail("insmod succeeded while another elevator was registered (cabgate_register_ops' -EBUSY went unnoticed)");
    unload(check);
  }
  pause_for(2);
  expect_answer(check, "a start, answered by the other elevator", "0", kStart);
  if (rmmod_once("cabgate_test") != 0)
    check.fail("the other elevator did not unload");
  check_traces(check, before, "after the failed init");
}

// Random calls from three threads while the controller stops, starts,
// unloads and reloads the module at random moments.
void check_fuzz(Check& check) {
  unsigned long seed = options.seeded ? options.seed : static_cast<unsigned long>(time(nullptr));
  diagnostic("modvm: note fuzz seed " + std::to_string(seed) + " (replay with --seed " +
             std::to_string(seed) + ")");
  Traces before = traces_now();
  if (!load(check))
    return;
  std::atomic<bool> unloaded{false};
  Storm storm(3, options.fuzz_seconds, [seed](int i, Tally& tally, double until) {
    std::mt19937_64 random(seed * 4 + static_cast<unsigned long>(i));
    static const long kValues[] = {-1, 0, 1, 2, 3, 5, 9, 10, 11, INT_MIN, INT_MAX};
    auto value = [&] {
      return random() % 4 ? static_cast<long>(random() % 11)
                          : kValues[random() % std::size(kValues)];
    };
    while (now() < until) {
      unsigned long pick = random() % 10;
      if (pick < 6) {
        long type = random() % 2 ? static_cast<long>(random() % 3) : value();
        long start = value(), dest = value();
        call_request(tally, type, start, dest);
      } else {
        long nr = pick < 8 ? kStart : kStop;
        std::string got = call(nr);
        tally.count(nr == kStart ? "start()" : "stop()", got,
                    !answer_in(got, "0 1 -1 ENOSYS"));
      }
      if (random() % 64 == 0)
        pause_for(static_cast<double>(random() % 20) / 1000);
    }
  });
  std::mt19937_64 random(seed);
  for (double until = now() + options.fuzz_seconds; now() < until && !check.hung;) {
    pause_for(0.2 + static_cast<double>(random() % 1300) / 1000);
    if (random() % 3 != 0)
      continue;
    if (unloaded) {
      if (int error = insmod(options.ko)) {
        check.fail("insmod failed: " + std::string(std::strerror(error)));
        break;
      }
      announce_loaded();
      unloaded = false;
    } else if (int error = rmmod_once(options.name)) {
      // Busy with a call: a module may refuse, and fuzz tries later.
      if (error != EWOULDBLOCK && error != EBUSY) {
        check.fail("rmmod failed: " + std::string(std::strerror(error)));
        break;
      }
    } else {
      unloaded = true;
    }
  }
  judge_storm(check, storm, true);
  if (check.failed() && !check.hung) {
    int thread = 0;
    for (const Tally& tally : storm.tallies()) {
      std::string calls;
      for (const std::string& c : tally.last)
        calls += (calls.empty() ? "" : "; ") + c;
      diagnostic("modvm: note fuzz thread " + std::to_string(++thread) + "'s last calls: " +
                 calls);
    }
  }
  if (check.hung)
    return;
  if (!unloaded) {
    call(kStop);
    if (!unload(check))
      return;
  }
  pause_for(2);
  check_traces(check, before, "after rmmod");
}

struct Entry {
  const char* name;
  void (*run)(Check&);
  double seconds;  // what it may take beyond its storms
};

// init-error first: what a failed init leaves running runs in freed
// memory, which faults (and is named) only while nothing has reused it.
const Entry kChecks[] = {
    {"init-error", check_init_error, 60}, {"unload", check_unload, 120},
    {"contract", check_contract, 60},     {"scenario", check_scenario, 240},
    {"stress", check_stress, 90},         {"leaks", check_leaks, 90},
    {"reload", check_reload, 90},         {"fuzz", check_fuzz, 120},
};

int usage() {
  std::fputs(
      "usage: modcheck --module FILE.ko --name NAME [--proc PATH] [--only CHECK,...]"
      " [--storm SECONDS] [--fuzz SECONDS] [--seed N] [--keep]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
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
  for (const Entry& entry : kChecks)
    if (options.only.empty() || ("," + options.only + ",").find(std::string(",") + entry.name + ",") != std::string::npos)
      selected.push_back(&entry);

  // The bench's own helper; without it no verdict could be trusted.
  if (int error = insmod(kWatchKo); error != 0 && error != EEXIST) {
    std::fprintf(stderr, "modcheck: the bench's helper %s did not load: %s\n", kWatchKo,
                 std::strerror(error));
    return 1;
  }
  std::printf("KTAP version 1\n1..%zu\n", selected.size());
  std::fflush(stdout);
  std::thread(watchdog).detach();
  int number = 0;
  for (const Entry* entry : selected) {
    ++number;
    current_check = entry->name;
    kernel_log.drain();
    kernel_log.say("check " + current_check + " begins");
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
    diagnostic("modvm: time " + current_check + " " + seconds);
    {
      std::lock_guard<std::mutex> hold(output_lock);
      std::printf("%s %d %s\n", check.failed() ? "not ok" : "ok", number, entry->name);
      std::fflush(stdout);
    }
    if (check.hung) {
      diagnostic("modvm: hung " + current_check);
      break;
    }
    if (check.failed() && options.keep) {
      std::ofstream("/tmp/keep") << current_check << '\n';
      diagnostic("modvm: kept " + current_check);
      break;
    }
    // What the kernel reports once per boot would hide later faults, and
    // what the module left behind would fail the next load for it.
    if ((!said.empty() || check.left) && number < static_cast<int>(selected.size())) {
      diagnostic("modvm: fresh boot");
      break;
    }
  }
  beating = false;
  std::fflush(stdout);
  _exit(0);
}
