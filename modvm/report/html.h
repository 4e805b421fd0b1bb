// The verdicts as one self-contained page that a course gives its
// students: the table of modules by checks, coloured; for each failure its
// title, the report, and the module's own source around every line the
// report names, that line marked; the kernel, flavour, seeds and times.
// Each module's row is an anchor ("#m-NAME"), each verdict too
// ("#r-NAME-CHECK"), which opens its report.
#ifndef MODVM_REPORT_HTML_H_
#define MODVM_REPORT_HTML_H_

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_log.h"
#include "verdicts.h"

namespace modvm {

// A module's source file by the name a report gives it ("elevator.c"), or
// nothing when it is not the module's.
using ReadSource =
    std::function<std::optional<Lines>(std::string_view module, std::string_view file)>;

// The places a report names ("elevator.c:120"), in order, each once.
struct Place {
  std::string file;
  int line = 0;
  bool operator==(const Place&) const = default;
};
std::vector<Place> places_named(const Lines& report);

// `context` lines of source on each side of the marked line; with
// coverage, each module's share of lines run and the ranges none ran,
// shaded in their source.
void print_html(std::ostream& out, const std::vector<Verdict>& verdicts, const Kernel& kernel,
                const ReadSource& read_source, const std::string& generated, int context = 6,
                const CoverageByModule& coverage = {});

}  // namespace modvm

#endif  // MODVM_REPORT_HTML_H_
