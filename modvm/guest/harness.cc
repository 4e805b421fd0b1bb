#include "harness.h"

#include <dirent.h>
#include <signal.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <random>
#include <sstream>

namespace modcheck {

Options options;

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pause_for(double seconds) {
  if (seconds <= 0)
    return;
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

std::atomic<double> progress{0};

std::string call(long nr, long a, long b, long c) {
  errno = 0;
  long result = syscall(nr, a, b, c);
  progress = now();
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

KernelLog kernel_log;
std::atomic<bool> stop_storms{false};

bool kernel_reported() {
  if (modvm::reported(kernel_log.peek(), options.name).empty())
    return false;
  if (!stop_storms) {
    pause_for(2);
    stop_storms = true;
  }
  return true;
}

std::atomic<double> deadline{0};
std::atomic<bool> beating{true};
std::mutex output_lock;
std::string current_check;  // under output_lock

std::string checking() {
  std::lock_guard<std::mutex> hold(output_lock);
  return current_check;
}

void diagnostic(const std::string& text) {
  std::lock_guard<std::mutex> hold(output_lock);
  std::printf("# %s\n", text.c_str());
  std::fflush(stdout);
}

void watchdog() {
  UniqueFd beat(open("/dev/ttyS3", O_WRONLY | O_NOCTTY | O_CLOEXEC));
  for (;;) {
    pause_for(1);
    if (beat && beating && write(beat.get(), ".", 1) < 0)
      beat.reset();
    double until = deadline;
    if (until == 0 || now() < until || now() - progress < kQuiet)
      continue;
    diagnostic(protocol::line(Kind::stalled, checking()));
    UniqueFd trigger(open("/proc/sysrq-trigger", O_WRONLY | O_CLOEXEC));
    if (trigger && write(trigger.get(), "t", 1) < 0)
      std::perror("modcheck: /proc/sysrq-trigger");
    pause_for(2);
    sync();
    reboot(RB_AUTOBOOT);
  }
}


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
  std::string said = protocol::line(Kind::loaded, options.name + " " + (base.empty() ? "-" : base) +
                                            " " + (size.empty() ? "-" : size) + sections);
  diagnostic(said);
  // Also in the kernel's log, which reaches the host even when the kernel
  // crashes a moment later.
  kernel_log.say(said);
}

// One finit_module, as kmod's insmod does.
int insmod(const std::string& path, const char* params) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return errno;
  int error = syscall(SYS_finit_module, fd.get(), params, 0) == 0 ? 0 : errno;
  progress = now();
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

const char kWatchParameters[] = "/sys/module/modvm_watch/parameters/";

void watch_set(const std::string& name, const std::string& value) {
  std::ofstream(std::string(kWatchParameters) + name) << value << std::flush;
}

std::string watch_get(const std::string& name) {
  return read_file(std::string(kWatchParameters) + name);
}

void watch_hold(const std::string& name) {
  watch_set("hold", name.empty() ? "\n" : name);
}

// One rmmod; 0 or its errno.  The kernel's log is told before and after,
// so the host can tell whether a crash came in rmmod or after it; after,
// once the RCU callbacks queued before it ran: one the module left runs
// in its freed code, and faults, while the check that unloaded it is on.
int rmmod_once(const std::string& name) {
  kernel_log.say(protocol::line(Kind::rmmod));
  int error = syscall(SYS_delete_module, name.c_str(), O_NONBLOCK) == 0 ? 0 : errno;
  progress = now();
  if (error != 0)
    return error;
  watch_set("barrier", "1");
  kernel_log.say(protocol::line(Kind::unloaded));
  return 0;
}

bool unload(Check& check) {
  int error = 0;
  for (double until = now() + 10; now() < until; pause_for(0.1))
    if ((error = rmmod_once(options.name)) == 0 || error == ENOENT)
      return true;
  check.fail("rmmod failed: " + std::string(std::strerror(error)));
  check.hung = true;
  return false;
}

OnCpu::OnCpu(int cpu) {
  cpu_set_t only;
  CPU_ZERO(&only);
  CPU_SET(cpu, &only);
  pinned_ = sched_getaffinity(0, sizeof(before_), &before_) == 0 && CPU_ISSET(cpu, &before_) &&
            sched_setaffinity(0, sizeof(only), &only) == 0;
}

OnCpu::~OnCpu() {
  if (pinned_)
    sched_setaffinity(0, sizeof(before_), &before_);
}

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

namespace {

// What is there now and was not before.
Traces traces_since(const Traces& before) {
  Traces current = traces_now(), added;
  for (const auto& [pid, name] : current.threads)
    if (!before.threads.count(pid))
      added.threads[pid] = name;
  for (const std::string& entry : current.proc)
    if (!before.proc.count(entry))
      added.proc.insert(entry);
  return added;
}

}  // namespace

void check_traces(Check& check, const Traces& before, const std::string& after) {
  Traces left = traces_since(before);
  std::string threads;
  for (const auto& [pid, name] : left.threads)
    threads += (threads.empty() ? "" : ", ") + name + " (pid " + pid + ")";
  if (!threads.empty()) {
    check.fail("a thread still runs " + after + ": " + threads);
    check.left = true;
  }
  for (const std::string& entry : left.proc) {
    check.fail(entry + " is still there " + after);
    check.left = true;
  }
}

// A timer, hrtimer or work item the module left armed fires within the
// 2 s, and faults in its freed code, or it is not waited for.  The wait
// ends sooner once the helper has counted none of them pending, with
// nothing changed, for 0.1 s (an expiring timer is briefly neither armed
// nor running), and no thread or /proc entry of the module is left (the
// check names those, and a thread may yet fault).
void settle(const Traces& before) {
  double until = now() + 2, quiet_since = 0;
  std::string quiet;  // the helper's last "0 CHANGES"
  for (; now() < until; pause_for(0.02)) {
    std::string said = watch_get("pending");
    if (said.rfind("0 ", 0) != 0) {
      quiet.clear();
      continue;
    }
    if (said != quiet) {
      quiet = said;
      quiet_since = now();
    } else if (now() - quiet_since >= 0.1) {
      Traces left = traces_since(before);
      if (!left.threads.empty() || !left.proc.empty())
        break;
      return;
    }
  }
  pause_for(until - now());
}

void expect_answer(Check& check, const std::string& what, const std::string& want,
                   long nr, long a, long b, long c) {
  std::string got = call(nr, a, b, c);
  if (!answer_in(got, want))
    check.fail(what + " answered " + got + misanswer(got, want));
}



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
  for (long i = 0; storm_on(until); ++i) {
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
  for (long i = 0; storm_on(until); ++i) {
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

namespace {

// Reads the module's /proc file to its end, `chunk` bytes a read (from
// `offset`, with pread), into a buffer that goes on well past the chunk:
// a read that returns more than it was asked for, or writes past it
// (copy_to_user of the whole text whatever the count), is the module's
// fault.  An empty string when all went well.
std::string read_proc_by(std::size_t chunk, off_t offset) {
  const std::string how = "reading " + options.proc + " " + std::to_string(chunk) +
                          " bytes at a time" +
                          (offset ? " from offset " + std::to_string(offset) : "");
  UniqueFd fd(open(options.proc.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return how + " failed: " + std::strerror(errno);
  constexpr unsigned char kGuard = 0xa5;
  std::vector<unsigned char> buffer(chunk + 65536, kGuard);
  std::string error;
  for (std::size_t total = 0; error.empty() && total < (1 << 20);) {
    ssize_t got = offset ? pread(fd.get(), buffer.data(), chunk,
                                 offset + static_cast<off_t>(total))
                         : read(fd.get(), buffer.data(), chunk);
    if (got < 0)
      error = how + " failed: " + std::strerror(errno);
    else if (static_cast<std::size_t>(got) > chunk)
      error = how + ": a read returned " + std::to_string(got) + " bytes (it must honour count)";
    else if (std::find_if(buffer.begin() + static_cast<long>(chunk), buffer.end(),
                          [](unsigned char c) { return c != kGuard; }) != buffer.end())
      error = how + ": a read wrote past the " + std::to_string(chunk) +
              " bytes asked for (it must honour count)";
    if (got <= 0)
      break;
    total += static_cast<std::size_t>(got);
  }
  return error;
}

}  // namespace

// Reads the module's /proc file over and over until `until`: whole, and
// in small and odd pieces.
void read_proc(double until, std::string* error) {
  static const std::pair<std::size_t, off_t> kWays[] = {
      {65536, 0}, {1, 0}, {7, 0}, {13, 5}, {64, 0}, {100, 1}};
  for (std::size_t i = 0; storm_on(until); ++i) {
    auto [chunk, offset] = kWays[i % std::size(kWays)];
    *error = read_proc_by(chunk, offset);
    if (!error->empty())
      return;
  }
}

void step_past_window() {
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  wall.tv_sec += 400;
  clock_settime(CLOCK_REALTIME, &wall);
}

void skip_windows() {
  std::set<std::string> stepped;
  for (;; pause_for(0.05)) {
    DIR* d = opendir("/proc");
    if (!d)
      continue;
    while (dirent* entry = readdir(d)) {
      std::string pid = entry->d_name;
      if (pid.find_first_not_of("0123456789") != std::string::npos || stepped.count(pid) ||
          read_file("/proc/" + pid + "/comm") != "producer\n")
        continue;
      std::string io = read_file("/proc/" + pid + "/io");
      std::size_t at = io.find("syscw: ");
      if (at != std::string::npos && std::atol(io.c_str() + at + 7) >= 3) {
        step_past_window();
        stepped.insert(pid);
      }
    }
    closedir(d);
  }
}

namespace {

// The process of `pid`'s children or grandchildren that sleeps in
// nanosleep or clock_nanosleep, or 0.
pid_t sleeping_descendant(pid_t pid) {
  std::map<pid_t, pid_t> parent;
  if (DIR* d = opendir("/proc")) {
    while (dirent* entry = readdir(d)) {
      pid_t child = std::atoi(entry->d_name);
      std::string stat = child > 0 ? read_file("/proc/" + std::to_string(child) + "/stat") : "";
      std::size_t name_end = stat.rfind(')');
      pid_t ppid = 0;
      if (name_end != std::string::npos &&
          std::sscanf(stat.c_str() + name_end + 1, " %*c %d", &ppid) == 1)
        parent[child] = ppid;
    }
    closedir(d);
  }
  for (auto [child, ppid] : parent) {
    auto grandparent = parent.find(ppid);
    if (ppid != pid && (grandparent == parent.end() || grandparent->second != pid))
      continue;
    std::string in = read_file("/proc/" + std::to_string(child) + "/syscall");
    if (in.rfind("35 ", 0) == 0 || in.rfind("230 ", 0) == 0)
      return child;
  }
  return 0;
}

// The tools pause 3 s (a `sleep 3` through system()) before their call;
// that sleep is ended once seen, as the producer's window is stepped past.
// The tools do not look at how it ended.
void end_pause(pid_t pid, const std::atomic<bool>& ended) {
  for (; !ended; pause_for(0.05)) {
    if (pid_t sleeper = sleeping_descendant(pid)) {
      kill(sleeper, SIGKILL);
      return;
    }
  }
}

}  // namespace

Ran run(const std::vector<std::string>& argv, bool held) {
  Ran ran;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return ran;
  UniqueFd out(fds[0]), out_end(fds[1]);
  if (pipe2(fds, O_CLOEXEC) != 0)
    return ran;
  UniqueFd err(fds[0]), err_end(fds[1]);
  pid_t pid = fork();
  if (pid < 0)
    return ran;
  if (pid == 0) {
    dup2(out_end.get(), 1);
    dup2(err_end.get(), 2);
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(("/bin/" + argv[0]).c_str(), args.data());
    _exit(127);
  }
  out_end.reset();
  err_end.reset();
  std::atomic<bool> ended{false};
  std::thread pause;
  if (argv[0] == "consumer" || argv[0] == "producer")
    pause = std::thread(end_pause, pid, std::cref(ended));
  if (held) {
    std::string syscall_file = "/proc/" + std::to_string(pid) + "/syscall";
    for (double until = now() + 120; now() < until; pause_for(0.05)) {
      std::string in = read_file(syscall_file);
      if (in.empty() || in.rfind("1 ", 0) == 0)
        break;
    }
    step_past_window();
  }
  // Standard error is small; standard output is read first.
  char buffer[65536];
  for (ssize_t n; (n = read(out.get(), buffer, sizeof buffer)) > 0;)
    ran.out.append(buffer, static_cast<std::size_t>(n));
  for (ssize_t n; (n = read(err.get(), buffer, sizeof buffer)) > 0;)
    ran.err.append(buffer, static_cast<std::size_t>(n));
  int status = 0;
  waitpid(pid, &status, 0);
  ended = true;
  if (pause.joinable())
    pause.join();
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return ran;
}

std::string last_line(const std::string& text) {
  std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
  return trimmed.substr(trimmed.rfind('\n') + 1);
}

}  // namespace modcheck
