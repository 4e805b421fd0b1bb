// The verdicts of the module checks, kept in a file between the guest's
// boots and printed at the end for a person (a line per check, then a
// table when several modules were checked), as KTAP, or as JUnit XML.
#ifndef MODVM_REPORT_VERDICTS_H_
#define MODVM_REPORT_VERDICTS_H_

#include <iosfwd>
#include <string>
#include <vector>

#include "coverage.h"
#include "kernel_log.h"

namespace modvm {

struct Verdict {
  enum class Result { passed, failed, not_run };
  std::string module, check;
  Result result = Result::passed;
  double seconds = 0;
  std::string title;  // a failure's one line, or why a check did not run
  Lines body;         // the check's own findings, then the kernel's report
};

// The kernel the verdicts were given on, which every format states.
struct Kernel {
  std::string version, flavour;
};

void write_verdicts(std::ostream& out, const std::vector<Verdict>& verdicts);
std::vector<Verdict> read_verdicts(std::istream& in);

// A failure whose title an earlier check of the same module already gave
// keeps only the title and says where it was reported first.
std::vector<Verdict> once_each(const std::vector<Verdict>& verdicts);

// A line per check of `module` (a failure's report beneath it), then its
// counts.
// With --coverage, the module's coverage before its counts.
void print_module_text(std::ostream& out, const std::vector<Verdict>& verdicts,
                       const std::string& module, const Kernel& kernel,
                       const CoverageByModule& coverage = {});
// With two modules or more, a table of verdicts, module by check.
void print_table(std::ostream& out, const std::vector<Verdict>& verdicts);
// Each module's lines, then the table.
void print_text(std::ostream& out, const std::vector<Verdict>& verdicts,
                const Kernel& kernel, const CoverageByModule& coverage = {});
// KTAP: the head (version, kernel, plan), then a subtest per module,
// which a stream prints as each module's checks end.
void print_ktap_head(std::ostream& out, const Kernel& kernel, std::size_t modules);
// The coverage as diagnostics of the module's subtest; in JUnit, as its
// testsuite's properties.
void print_ktap_module(std::ostream& out, const std::vector<Verdict>& verdicts,
                       const std::string& module, int number,
                       const CoverageByModule& coverage = {});
void print_ktap(std::ostream& out, const std::vector<Verdict>& verdicts,
                const Kernel& kernel, const CoverageByModule& coverage = {});
void print_junit(std::ostream& out, const std::vector<Verdict>& verdicts,
                 const Kernel& kernel, const CoverageByModule& coverage = {});

// "PASS", "FAIL" or "SKIP": a verdict's mark in the table and the page.
const char* mark_of(Verdict::Result result);
// "12.3": a verdict's seconds as every format gives them.
std::string seconds_text(double seconds);
// The modules of the verdicts, in their order.
std::vector<std::string> modules_of(const std::vector<Verdict>& verdicts);
// Text made safe in XML and HTML, control characters but tab and newline
// replaced.
std::string xml_escape(const std::string& text);
// "Linux 6.1.0 (kasan)".
std::string on_kernel(const Kernel& kernel);
// What the kernel's flavour does not look for, said plainly; empty when
// unknown.
std::string not_looked_for(const Kernel& kernel);

// Whether every check of every module passed.
bool all_passed(const std::vector<Verdict>& verdicts);

}  // namespace modvm

#endif  // MODVM_REPORT_VERDICTS_H_
