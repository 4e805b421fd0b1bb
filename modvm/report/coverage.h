// Which of a module's lines the checks ran: the module built with gcov,
// the guest's counts (debugfs's .gcda files, sent base64 on the checks'
// standard error between "MODVM-GCDA PATH" and "MODVM-GCDA-END"), gcov's
// report of each source file, and, over all of a module's boots, the share
// of its lines that ran and the ranges none ran, named by function.
#ifndef MODVM_REPORT_COVERAGE_H_
#define MODVM_REPORT_COVERAGE_H_

#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kernel_log.h"

namespace modvm {

// The .gcda files the guest sent: their guest path, and their bytes.
std::map<std::string, std::string> read_gcda(const Lines& sent);

// base64 as busybox writes it (lines of 76); nothing when it is not.
std::optional<std::string> base64_decode(const std::string& text);

// One source file's lines as gcov counted them: those that hold code, and
// of those, the ones that ran.
struct FileCoverage {
  std::string file;  // "elevator.c"; as gcov names it, its whole path
  std::set<int> code, ran;
};

// gcov's text reports (gcov --stdout), a file each from its line
// "-:0:Source:PATH": "count:line:source", with "-" for a line without
// code and "#####" or "=====" for one that never ran.
std::vector<FileCoverage> parse_gcov(const Lines& report);

// A module's coverage, over every boot of its checks.
struct Coverage {
  std::string module;
  std::map<std::string, FileCoverage> files;  // by file name
  void add(const FileCoverage& file);
};

// Lines none ran, a function's run of them, "elevator.c:120-134 in
// el_stop".
struct Unrun {
  std::string file;
  int first = 0, last = 0;
  std::string function;
};

// The ranges of lines with code that none ran: neighbours apart only by
// lines without code are one range.  `source` names the function each
// lies in, from the file's lines (kernel style: a definition's "{" alone
// at the start of a line).
using SourceOf = std::function<std::optional<Lines>(const std::string& file)>;
std::vector<Unrun> unrun_ranges(const Coverage& coverage, const SourceOf& source);

// "el_stop": the function whose body holds `line`, or empty.
std::string function_at(const Lines& source, int line);

// What the formats say of a module's coverage: the summary, the ranges.
struct ModuleCoverage {
  std::string summary;
  std::vector<Unrun> unrun;
};
using CoverageByModule = std::map<std::string, ModuleCoverage>;

// In the verdicts' file, beside them.
void write_coverage(std::ostream& out, const Coverage& coverage);
std::vector<Coverage> read_coverage(std::istream& in);

// "83% of the module's lines ran (412 of 496)".
std::string coverage_summary(const Coverage& coverage);
// "elevator.c:120-134 in el_stop".
std::string unrun_text(const Unrun& unrun);

}  // namespace modvm

#endif  // MODVM_REPORT_COVERAGE_H_
