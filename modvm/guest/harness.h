// modcheck's harness: what the checks are made of.  The calls and their
// answers, the module's loading and unloading (announced to the host, and
// to the kernel's log), the kernel's log read as the checks run, the
// watchdog, storms of calls from several threads, the traces a module may
// leave behind, the tools run as programs.
#ifndef MODVM_GUEST_HARNESS_H_
#define MODVM_GUEST_HARNESS_H_

#include <fcntl.h>
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "calls.h"
#include "kernel_log.h"
#include "protocol.h"
#include "unique_fd.h"

namespace modcheck {

using elevmod::UniqueFd;
using modvm::protocol::Kind;
namespace protocol = modvm::protocol;

constexpr long kStart = cabgate::kStartCall;
constexpr long kRequest = cabgate::kRequestCall;
constexpr long kStop = cabgate::kStopCall;

struct Options {
  std::string ko, name, proc, only;
  double storm_seconds = 15;
  double fuzz_seconds = 30;
  unsigned long seed = 0;
  bool seeded = false;
  bool keep = false;
};
extern Options options;

// The monotonic clock, in seconds.
double now();
void pause_for(double seconds);
// "EINVAL" for EINVAL.
std::string error_name(int error);
std::string read_file(const std::string& path);

// When a call, a load or an unload last returned, for the watchdog.
extern std::atomic<double> progress;
// What one call answered: "0", "1", "-1 EINVAL".
std::string call(long nr, long a = 0, long b = 0, long c = 0);
std::string request_text(long type, long start, long dest);
bool valid_request(long type, long start, long dest);
// What is wrong with an answer, after a colon; empty when it is one of
// `want` ("0", "1" or "0 1").
std::string misanswer(const std::string& got, const std::string& want);
bool answer_in(const std::string& got, const std::string& want);

// The kernel's log, read from where this program started: records of
// warning level or worse.
class KernelLog {
 public:
  KernelLog() : fd_(open("/dev/kmsg", O_RDWR | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_)
      lseek(fd_.get(), 0, SEEK_END);
  }

  // A line of the protocol, at warning level so that it reaches the
  // console.
  void say(const std::string& line) const {
    std::string record = "<4>" + line;
    if (fd_ && write(fd_.get(), record.data(), record.size()) < 0)
      std::perror("modcheck: /dev/kmsg");
  }

  // What was logged since the last drain, kept for it.
  const modvm::Lines& peek() {
    modvm::Lines more = read_new();
    kept_.insert(kept_.end(), more.begin(), more.end());
    return kept_;
  }

  modvm::Lines drain() {
    modvm::Lines lines = std::move(kept_);
    kept_.clear();
    modvm::Lines more = read_new();
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
  }

 private:
  modvm::Lines read_new() {
    modvm::Lines lines;
    char record[8192];
    for (;;) {
      ssize_t n = read(fd_.get(), record, sizeof record - 1);
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

  UniqueFd fd_;
  modvm::Lines kept_;
};
extern KernelLog kernel_log;

// The state of the check that runs, for the watchdog: past its deadline,
// a check is stalled only once nothing returned (a call, a load, an
// unload) for kQuiet seconds; on a slow host a check still making
// progress is not hung.
constexpr double kQuiet = 30;
extern std::atomic<double> deadline;
extern std::atomic<bool> beating;
extern std::mutex output_lock;
extern std::string current_check;  // under output_lock
std::string checking();
// A "# " line of KTAP, whole, whichever thread says it.
void diagnostic(const std::string& text);
// Beats once a second; past the check's deadline, says so, has the kernel
// show every task's stack, and ends the guest.
void watchdog();

// Set when the check that runs has no more to learn: the kernel reported
// (the check has failed, and the rest of it would only stack reports on
// the first), or its storm has served; storms and phases end at once.
extern std::atomic<bool> stop_storms;
// Whether a storm ending at `until` goes on.
inline bool storm_on(double until) { return now() < until && !stop_storms; }
// Whether the kernel reported while the check ran (the lines are kept for
// its verdict); then the storms stop, once a report still being printed
// had two seconds to end.  Not while modcheck runs several threads that
// read the log: the check's own thread asks.
bool kernel_reported();

class Check {
 public:
  void fail(const std::string& why) { reasons.push_back(why); }
  bool failed() const { return !reasons.empty(); }

  std::vector<std::string> reasons;
  bool hung = false;
  bool left = false;  // something of the module is left behind
};

// The module.
bool module_loaded();
// Where the module lies, for the host: "# modvm: loaded ...".
void announce_loaded();
// One finit_module, as kmod's insmod does; 0 or its errno.
int insmod(const std::string& path, const char* params = "");
bool load(Check& check);
// The bench's helper module (modvm/testmod/modvm_watch.c).
inline constexpr char kWatchKo[] = "/lib/modvm_watch.ko";
// Which module's going the helper holds ("" for none).
void watch_hold(const std::string& name);
// The helper's parameter NAME: written, and read ("" when it cannot be).
void watch_set(const std::string& name, const std::string& value);
std::string watch_get(const std::string& name);
// One rmmod; 0 or its errno.
int rmmod_once(const std::string& name);
// rmmod, again while the module is busy, for ten seconds at most.
bool unload(Check& check);

// The calling thread runs on CPU cpu alone while this lives (where the
// machine has it), then where it ran before.
class OnCpu {
 public:
  explicit OnCpu(int cpu);
  ~OnCpu();
  OnCpu(const OnCpu&) = delete;
  OnCpu& operator=(const OnCpu&) = delete;

 private:
  cpu_set_t before_;
  bool pinned_ = false;
};

// What the module may leave behind: kernel threads (kworkers come and go)
// and /proc entries.
struct Traces {
  std::map<std::string, std::string> threads;  // pid, name
  std::set<std::string> proc;
};
Traces traces_now();
void check_traces(Check& check, const Traces& before, const std::string& after);
// Waits up to 2 s after an rmmod for what the module left armed to fire.
void settle(const Traces& before);
void expect_answer(Check& check, const std::string& what, const std::string& want, long nr,
                   long a = 0, long b = 0, long c = 0);

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
  // Meanwhile, a report of the kernel's ends the storm.
  bool wait() {
    double until = now() + seconds_ + 60, asked = 0;
    while (!finished() && now() < until) {
      if (now() - asked > 0.5) {
        asked = now();
        kernel_reported();
      }
      pause_for(0.05);
    }
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

void call_request(Tally& tally, long type, long start, long dest);
void request_storm(int index, Tally& tally, double until);
void toggle_storm(int index, Tally& tally, double until);
void judge_storm(Check& check, Storm& storm, bool unloading);

// The module's /proc file read over and over until `until`, whole and in
// small and odd pieces; `error` says what went wrong.
void read_proc(double until, std::string* error);

struct Ran {
  int status = -1;
  std::string out, err;
};
// The producer's 300-second window passes at once: the wall clock is
// stepped 400 s forward while it sends, so that its sending measures over
// the window and it does not sleep.
void step_past_window();
// Runs `argv` from /bin, its output collected.  With `held`, its standard
// output is a pipe read only once it blocks writing, which is when the
// window is stepped past: deterministic, for the producer the checks run.
Ran run(const std::vector<std::string>& argv, bool held = false);
// Never returns: steps past the window of every producer of the guest's
// once it is seen sending (written three times: its fingerprint and two
// requests), for commands whose producer is not run through run().
[[noreturn]] void skip_windows();
std::string last_line(const std::string& text);

}  // namespace modcheck

#endif  // MODVM_GUEST_HARNESS_H_
