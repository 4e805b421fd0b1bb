// Reading the kernel's log as a module author needs it: the lines of a
// report that matter, cut from the noise of an emulated machine and of the
// kernel's own benign races, and a one-line title for each report, the kind
// of fault and where in the module it happened.  Shared by the checks in
// the guest (which judge a check by whether the kernel reported) and the
// bench on the host (which prints the reports).  Pure: no I/O.
#ifndef MODVM_REPORT_KERNEL_LOG_H_
#define MODVM_REPORT_KERNEL_LOG_H_

#include <functional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace modvm {

using Lines = std::vector<std::string>;

// The line without its "[   12.345678] " time stamp (and the "[T123]"
// caller field some kernels add), without trailing blanks.
std::string strip_stamp(std::string_view line);

// Whether the line is the emulated machine's or the kernel's own noise,
// never a module's fault: the taint of an out-of-tree module, a slow timer
// interrupt, an unstable clock source, the guest's end ("reboot:
// Restarting system") and the bench's own markers.
bool is_noise(std::string_view text);

// The lines without KCSAN reports of races that `module` takes no part in
// (a report is kept when one of its lines names a function of the module,
// "fn+0x4a/0x90 [module]"); without a module, of races no module takes
// part in.  The "====" rules around reports go too.
Lines drop_foreign_races(const Lines& lines, std::string_view module);

// What the kernel reported, of the lines it logged: stamps removed, noise
// and foreign races dropped.  Empty when it reported nothing.
Lines reported(const Lines& lines, std::string_view module);

// The text without its leading spaces and its trailing spaces and tabs.
std::string trim(std::string_view text);

// The report cut to the lines that matter: headlines, the module's frames,
// the locks lockdep names (of the blocked task only, in a hung-task
// report), the faulty address; no frames the unwinder is unsure of, no
// null frames, no line twice.  At most `max` lines, then "(N more lines)".
Lines cut_report(const Lines& lines, std::size_t max = 40);

// A frame "fn+0x4a/0x90 [module]", or, named by the bench after the
// module was unloaded, "fn+0x4a/0x90 [module, unloaded]": the function,
// its offset, the module and ", unloaded" are groups 1 to 4.
const std::regex& frame_pattern();
// "fn+0x4a/0x90" of a match of frame_pattern().
std::string frame_of(const std::smatch& match);
// Whether the line names `module` as the kernel does ("[module]",
// "[module, unloaded]"); with no module, whether it names any.
bool names_module(std::string_view line, std::string_view module);

// Names a frame "fn+0x4a/0x90 [module]" (or a bare address of a module
// since unloaded) with its source line, "ok_wq.c:59" or
// "ok_wq.c:59, inlined by el_request at ok_wq.c:209"; empty when unknown.
using Locate = std::function<std::string(std::string_view frame)>;

// The report's one-line title, as syzkaller writes them: the kind, then
// the module's function and its source line ("KASAN: use-after-free Read
// in el_stop (ok_wq.c:140)", "lockdep: recursive locking of car_mutex in
// el_request (ok_wq.c:209)"); the first line when the kind is unknown.
std::string report_title(const Lines& report, std::string_view module,
                         const Locate& locate);

// Where a frame "fn+0x../0x.. [module]" is: "el_request (ok_wq.c:209)",
// the line in the frame's own function; or, for code of a module since
// unloaded that ran (`ran`; not a frame of an allocation's stack),
// "rider_free_rcu+0x0 (f.c:12) of the unloaded f_rcu: a thread, timer,
// work item or RCU callback outlived the module".
std::string place_of_frame(std::string_view frame, const Locate& locate, bool ran = true);

// The first frame of the module in the report ("el_request+0xfe/0x29c"),
// or an empty string.
std::string first_module_frame(const Lines& report, std::string_view module);

}  // namespace modvm

#endif  // MODVM_REPORT_KERNEL_LOG_H_
