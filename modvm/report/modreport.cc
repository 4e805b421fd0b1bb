// modreport: the host's half of the module checks.
//
//   modreport boot --results FILE --name NAME --ko FILE.ko --tree DIR
//                  --run DIR --checks CHECK,... [--keep-going]
//       judges one boot (RUN/out, RUN/console, RUN/timed-out and RUN/silent
//       when the host ended it): appends a verdict per check to FILE and
//       prints the checks left for a fresh boot, comma-separated
//   modreport ran --run DIR
//       judges a command's run from the console (RUN/console): a module
//       that did not load, a guest that ended before the command (how,
//       and the report's title), the kernel's reports while it ran;
//       prints what went wrong and exits with the command's status, or 1
//   modreport kunit --run DIR --suite NAME
//       prints the KUnit suite's cases as the boot's console shows them;
//       exits 0 only if it finished and none failed
//   modreport coverage --run DIR --results FILE --name NAME --build DIR
//       appends to FILE which of the lines of module NAME, built with gcov
//       in BUILD, the boot's checks ran (the .gcda files the guest sent on
//       RUN/err)
//   modreport print --results FILE --kernel VERSION --flavour NAME
//                   [--format text|ktap|table|none] [--module NAME [--number N]]
//                   [--junit FILE] [--html FILE [--sources FILE]]
//       prints the verdicts (of one module, with --module, as the N-th
//       subtest of a KTAP stream with --number; only the table of modules
//       by checks, with table; nothing, with none); exits 0 only if every
//       check passed; --html writes the page a course gives its students;
//       the modules' sources (for the page, and to name the functions of
//       the lines no check ran) are in the directories SOURCES names (a
//       line "MODULE DIR" each)
//   modreport print --format ktap-head --kernel VERSION --flavour NAME --count N
//       prints the head of a KTAP stream of N modules
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "boot_log.h"
#include "coverage.h"
#include "html.h"
#include "kunit_log.h"
#include "symbols.h"
#include "verdicts.h"

namespace {

modvm::Lines read_lines(const std::string& path) {
  std::ifstream in(path);
  modvm::Lines lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (from <= text.size() && !text.empty()) {
    std::size_t comma = text.find(',', from);
    if (comma == std::string::npos)
      comma = text.size();
    if (comma > from)
      parts.push_back(text.substr(from, comma - from));
    from = comma + 1;
  }
  return parts;
}

// The modules' sources, found in the directories SOURCES names (a line
// "MODULE DIR" each), by the names reports give them.
modvm::ReadSource source_reader(const std::string& sources) {
  std::map<std::string, std::string> dirs;
  std::ifstream list(sources);
  std::string line;
  while (std::getline(list, line))
    if (std::size_t space = line.find(' '); space != std::string::npos)
      dirs[line.substr(0, space)] = line.substr(space + 1);
  return [dirs](std::string_view module, std::string_view file) -> std::optional<modvm::Lines> {
    auto dir = dirs.find(std::string(module));
    if (dir == dirs.end() || file.find('/') != std::string_view::npos)
      return std::nullopt;
    std::string path = dir->second + "/" + std::string(file);
    if (access(path.c_str(), R_OK) != 0)
      return std::nullopt;
    return read_lines(path);
  };
}

// The coverage the results hold, said for each module.
modvm::CoverageByModule coverage_of(std::istream& results,
                                    const modvm::ReadSource& read_source) {
  modvm::CoverageByModule said;
  for (const modvm::Coverage& coverage : modvm::read_coverage(results)) {
    modvm::ModuleCoverage& mine = said[coverage.module];
    mine.summary = modvm::coverage_summary(coverage);
    mine.unrun = modvm::unrun_ranges(coverage, [&](const std::string& file) {
      return read_source(coverage.module, file);
    });
  }
  return said;
}

// The page for a course (--html FILE).
bool write_html(const std::string& path, const std::vector<modvm::Verdict>& verdicts,
                const modvm::Kernel& kernel, const modvm::ReadSource& read_source,
                const modvm::CoverageByModule& coverage) {
  char generated[64];
  std::time_t now = std::time(nullptr);
  std::strftime(generated, sizeof generated, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::ofstream out(path);
  modvm::print_html(out, verdicts, kernel, read_source, generated, 6, coverage);
  out.close();
  if (!out) {
    std::cerr << "modreport: cannot write " << path << '\n';
    return false;
  }
  return true;
}

// The counts a boot's guest sent for module NAME, built with gcov in BUILD
// (the guest names each file by its path there, under debugfs): each
// written beside its .gcno, gcov's report of the module's own sources
// appended to RESULTS.  Files that are not BUILD's .gcda are ignored.
int record_coverage(const std::string& run, const std::string& results,
                    const std::string& name, const std::string& build) {
  const std::string debugfs = "/sys/kernel/debug/gcov";
  modvm::Coverage coverage{name, {}};
  for (const auto& [path, bytes] : modvm::read_gcda(read_lines(run + "/err"))) {
    std::string host = path.rfind(debugfs, 0) == 0 ? path.substr(debugfs.size()) : "";
    std::size_t slash = host.rfind('/');
    if (slash == std::string::npos || host.substr(0, slash) != build ||
        host.size() < 5 || host.compare(host.size() - 5, 5, ".gcda") != 0 ||
        host.find("/..") != std::string::npos)
      continue;
    std::ofstream(host, std::ios::binary) << bytes;
    std::string object = host.substr(0, host.size() - 5);
    std::string report = modvm::output_of("cd " + modvm::quote(build) + " && gcov --stdout -o " +
                                          modvm::quote(build) + " " + modvm::quote(object + ".c") +
                                          " 2>/dev/null");
    modvm::Lines lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    for (modvm::FileCoverage file : modvm::parse_gcov(lines)) {
      // The module's own files; the kernel's headers are not its lines.
      if (file.file.rfind(build + "/", 0) != 0 && file.file.find('/') != std::string::npos)
        continue;
      file.file = file.file.substr(file.file.rfind('/') + 1);
      coverage.add(file);
    }
  }
  std::ofstream out(results, std::ios::app);
  modvm::write_coverage(out, coverage);
  if (!out) {
    std::cerr << "modreport: cannot write " << results << '\n';
    return 1;
  }
  return 0;
}

int usage() {
  std::cerr << "usage: modreport boot --results FILE --name NAME --ko FILE.ko --tree DIR"
               " --run DIR --checks CHECK,... [--keep-going]\n"
               "       modreport ran --run DIR\n"
               "       modreport kunit --run DIR --suite NAME\n"
               "       modreport coverage --run DIR --results FILE --name NAME --build DIR\n"
               "       modreport print --results FILE --kernel VERSION --flavour NAME"
               " [--format text|ktap|table|none] [--module NAME [--number N]] [--junit FILE]"
               " [--html FILE [--sources FILE]]\n"
               "       modreport print --format ktap-head --kernel VERSION --flavour NAME"
               " --count N\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return usage();
  std::string verb = argv[1];
  std::map<std::string, std::string> options;
  bool keep_going = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--keep-going") {
      keep_going = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0 || i + 1 >= argc)
      return usage();
    options[arg.substr(2)] = argv[++i];
  }
  auto need = [&](std::initializer_list<const char*> names) {
    for (const char* name : names)
      if (!options.count(name))
        return false;
    return true;
  };

  if (verb == "boot") {
    if (!need({"results", "name", "ko", "tree", "run", "checks"}))
      return usage();
    const std::string run = options["run"];
    modvm::Boot boot;
    boot.out = read_lines(run + "/out");
    boot.console = read_lines(run + "/console");
    boot.timed_out = access((run + "/timed-out").c_str(), F_OK) == 0;
    boot.silent = access((run + "/silent").c_str(), F_OK) == 0;
    modvm::Module module;
    module.name = options["name"];
    module.symbols = modvm::read_symbols(options["ko"]);
    std::string tree = options["tree"], ko = options["ko"];
    module.lines = [&](const std::vector<std::string>& frames) {
      return modvm::source_lines(tree, ko, frames);
    };
    modvm::Judged judged =
        modvm::judge_boot(boot, split(options["checks"]), module, keep_going);
    std::ofstream results(options["results"], std::ios::app);
    modvm::write_verdicts(results, judged.verdicts);
    if (!results) {
      std::cerr << "modreport: cannot write " << options["results"] << '\n';
      return 1;
    }
    std::string remaining;
    for (const std::string& check : judged.remaining)
      remaining += (remaining.empty() ? "" : ",") + check;
    std::cout << remaining << '\n';
    return 0;
  }

  if (verb == "ran") {
    if (!need({"run"}))
      return usage();
    const std::string run = options["run"];
    modvm::Boot boot;
    boot.timed_out = access((run + "/timed-out").c_str(), F_OK) == 0;
    boot.silent = access((run + "/silent").c_str(), F_OK) == 0;
    modvm::Lines console = read_lines(run + "/console"), lines;
    int status = -1;
    for (const std::string& line : console) {
      if (line.rfind("MODVM-INSMOD-FAILED ", 0) == 0) {
        std::cout << "modvm: insmod " << line.substr(20)
                  << "\nmodvm: the command did not run; the kernel's last lines:\n";
        std::size_t from = console.size() > 25 ? console.size() - 25 : 0;
        for (std::size_t i = from; i < console.size(); ++i)
          std::cout << "  | " << console[i] << '\n';
        return 1;
      }
      if (line == "MODVM-BEGIN") {
        lines.clear();
        continue;
      }
      if (line.rfind("MODVM-END ", 0) == 0) {
        status = std::atoi(line.c_str() + 10);
        break;
      }
      if (line.rfind("[", 0) == 0)
        lines.push_back(line);
    }
    modvm::Lines report = modvm::reported(lines, "");
    if (status < 0) {
      std::string title = modvm::report_title(report, "", nullptr);
      std::cout << "modvm: " << modvm::how_it_ended(lines, boot)
                << (title.empty() ? "" : ": " + title) << '\n';
      for (const std::string& line : modvm::cut_report(report))
        std::cout << "  | " << line << '\n';
      return 1;
    }
    if (!report.empty()) {
      std::cout << "modvm: the kernel warned while the command ran:\n";
      for (const std::string& line : report)
        std::cout << "  | " << line << '\n';
      return status ? status : 1;
    }
    return status;
  }

  if (verb == "coverage") {
    if (!need({"run", "results", "name", "build"}))
      return usage();
    return record_coverage(options["run"], options["results"], options["name"],
                           options["build"]);
  }

  if (verb == "kunit") {
    if (!need({"run", "suite"}))
      return usage();
    modvm::KunitSuite suite =
        modvm::read_kunit(read_lines(options["run"] + "/console"), options["suite"]);
    modvm::print_kunit(std::cout, suite);
    return modvm::kunit_passed(suite) ? 0 : 1;
  }

  if (verb == "print" && options.count("format") && options["format"] == "ktap-head") {
    if (!need({"kernel", "flavour", "count"}))
      return usage();
    modvm::print_ktap_head(std::cout, {options["kernel"], options["flavour"]},
                           std::stoul(options["count"]));
    return 0;
  }
  if (verb == "print") {
    if (!need({"results", "kernel", "flavour"}))
      return usage();
    // The verdicts and the coverage beside them, from one read.
    std::ostringstream text;
    text << std::ifstream(options["results"]).rdbuf();
    std::istringstream in(text.str()), coverage_lines(text.str());
    std::vector<modvm::Verdict> verdicts = modvm::read_verdicts(in);
    modvm::Kernel kernel{options["kernel"], options["flavour"]};
    std::string format = options.count("format") ? options["format"] : "text";
    modvm::ReadSource read_source =
        source_reader(options.count("sources") ? options["sources"] : "");
    modvm::CoverageByModule coverage = coverage_of(coverage_lines, read_source);
    if (options.count("module")) {
      std::vector<modvm::Verdict> mine;
      for (const modvm::Verdict& v : verdicts)
        if (v.module == options["module"])
          mine.push_back(v);
      verdicts = mine;
    }
    if (format == "ktap" && options.count("number"))
      modvm::print_ktap_module(std::cout, verdicts, options["module"],
                               std::stoi(options["number"]), coverage);
    else if (format == "ktap")
      modvm::print_ktap(std::cout, verdicts, kernel, coverage);
    else if (format == "text")
      modvm::print_text(std::cout, verdicts, kernel, coverage);
    else if (format == "table")
      modvm::print_table(std::cout, verdicts);
    else if (format != "none")
      return usage();
    if (options.count("html") && !write_html(options["html"], verdicts, kernel, read_source,
                                             coverage))
      return 1;
    if (options.count("junit")) {
      std::ofstream junit(options["junit"]);
      modvm::print_junit(junit, verdicts, kernel, coverage);
      if (!junit) {
        std::cerr << "modreport: cannot write " << options["junit"] << '\n';
        return 1;
      }
    }
    return modvm::all_passed(verdicts) ? 0 : 1;
  }
  return usage();
}
