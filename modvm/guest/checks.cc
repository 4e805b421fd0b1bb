#include "checks.h"

#include <sys/wait.h>
#include <time.h>

#include <climits>
#include <fstream>
#include <random>
#include <sstream>

namespace modcheck {
namespace {

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
  settle(before);
  check_traces(check, before, "after rmmod of the idle module");
  expect_answer(check, "a start after rmmod", "-1 ENOSYS", kStart);
  if (kernel_reported())
    return;
  // A running car, riders aboard and waiting, never stopped: whatever
  // drives it (a thread, a timer, a work item) is armed as exit runs, and
  // at a different moment of its period each round, to catch one that
  // exit stops without waiting for its callback.  Its timers are armed on
  // one CPU and its exit runs on the other, where the helper makes the
  // window of a del_timer() that does not wait.
  for (double wait : {1.0, 0.0, 0.05, 0.2, 0.45, 0.7}) {
    {
      OnCpu on(0);
      if (check.failed() || kernel_reported() || !load(check))
        return;
      expect_answer(check, "start", "0", kStart);
      for (int start = 1; start <= 10; ++start)
        call(kRequest, start % 3, start, 11 - start);
    }
    pause_for(wait);
    OnCpu on(1);
    if (!unload(check))
      return;
  }
  settle(before);
  check_traces(check, before, "after rmmod of the running module");
  if (check.failed() || kernel_reported() || !load(check))
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
  // done; the callers then get ENOSYS for a second, and the storm has
  // served.
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
  if (!check.failed()) {
    pause_for(1);
    stop_storms = true;
  }
  judge_storm(check, storm, true);
  if (check.hung)
    return;
  settle(before);
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
// addresses) or through the elevator's calls; and the module's ended
// threads, whose task_structs the helper watches.  kmemleak reports an object
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
  // The objects are older than the unload: the first scan goes at once,
  // the second once they are five seconds old (a scan under emulation
  // takes longer than that by itself).
  double unloaded = now();
  tell("scan");
  pause_for(unloaded + 5.5 - now());
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
      diagnostic(protocol::line(Kind::report, line));
  }
  tell("clear");
  // The module's threads ended; their task_structs, allocated by the
  // kernel and not through the module, are freed once nothing holds them.
  std::string held;
  for (double until = now() + 10; !(held = watch_get("tasks")).empty() && now() < until;) {
    watch_set("barrier", "1");
    pause_for(0.5);
  }
  if (!held.empty()) {
    std::string thread = held.substr(0, held.find('\n'));
    std::size_t space = thread.rfind(' ');
    check.fail("the task_struct of the module's thread " + thread.substr(0, space) + " (pid " +
               thread.substr(space + 1) + ") is still referenced after rmmod: a "
               "get_task_struct() without its put_task_struct()");
  }
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
  Traces beside = traces_now();
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
  settle(beside);
  expect_answer(check, "a start, answered by the other elevator", "0", kStart);
  if (rmmod_once("cabgate_test") != 0)
    check.fail("the other elevator did not unload");
  check_traces(check, before, "after the failed init");
}

// Random calls from three threads while the controller stops, starts,
// unloads and reloads the module at random moments.  Eight changes of the
// module: more than 30 s of changing it at one random moment in three
// made (3 to 7 on two emulated CPUs, where an insmod or rmmod under the
// calls takes a second or two).
constexpr int kFuzzChanges = 8;

void check_fuzz(Check& check) {
  unsigned long seed = options.seeded ? options.seed : static_cast<unsigned long>(time(nullptr));
  std::string replay = std::to_string(seed);
  diagnostic(protocol::line(Kind::note, "fuzz seed " + replay + " (replay with --seed " + replay + ")"));
  Traces before = traces_now();
  if (!load(check))
    return;
  std::atomic<bool> unloaded{false};
  int changes = 0;
  Storm storm(3, options.fuzz_seconds, [seed](int i, Tally& tally, double until) {
    std::mt19937_64 random(seed * 4 + static_cast<unsigned long>(i));
    static const long kValues[] = {-1, 0, 1, 2, 3, 5, 9, 10, 11, INT_MIN, INT_MAX};
    auto value = [&] {
      return random() % 4 ? static_cast<long>(random() % 11)
                          : kValues[random() % std::size(kValues)];
    };
    while (storm_on(until)) {
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
  // The module changes (an rmmod, or an insmod once it is gone) at
  // random moments 0.2 to 1.5 s apart, under the calls, kFuzzChanges times;
  // the storm ends with the last.  The fuzz time bounds it all.
  std::mt19937_64 random(seed);
  for (double until = now() + options.fuzz_seconds;
       changes < kFuzzChanges && now() < until && !check.hung && !kernel_reported();) {
    pause_for(0.2 + static_cast<double>(random() % 1300) / 1000);
    if (unloaded) {
      if (int error = insmod(options.ko)) {
        check.fail("insmod failed: " + std::string(std::strerror(error)));
        break;
      }
      announce_loaded();
      unloaded = false;
      ++changes;
    } else if (int error = rmmod_once(options.name)) {
      // Busy with a call: a module may refuse, and fuzz tries later.
      if (error != EWOULDBLOCK && error != EBUSY) {
        check.fail("rmmod failed: " + std::string(std::strerror(error)));
        break;
      }
    } else {
      unloaded = true;
      ++changes;
    }
  }
  stop_storms = true;
  judge_storm(check, storm, true);
  if (check.failed() && !check.hung) {
    int thread = 0;
    for (const Tally& tally : storm.tallies()) {
      std::string calls;
      for (const std::string& c : tally.last)
        calls += (calls.empty() ? "" : "; ") + c;
      diagnostic(protocol::line(Kind::note,
                       "fuzz thread " + std::to_string(++thread) + "'s last calls: " + calls));
    }
  }
  if (check.hung)
    return;
  if (!unloaded) {
    call(kStop);
    if (!unload(check))
      return;
  }
  settle(before);
  check_traces(check, before, "after rmmod");
}

// init-error first: what a failed init leaves running runs in freed
// memory, which faults (and is named) only while nothing has reused it.
}  // namespace

const std::vector<Entry>& all_checks() {
  static const std::vector<Entry> kChecks = {
    {"init-error", check_init_error, 60}, {"unload", check_unload, 120},
    {"contract", check_contract, 60},     {"scenario", check_scenario, 240},
    {"stress", check_stress, 90},         {"leaks", check_leaks, 90},
    {"reload", check_reload, 90},         {"fuzz", check_fuzz, 120},
};
  return kChecks;
}

}  // namespace modcheck
