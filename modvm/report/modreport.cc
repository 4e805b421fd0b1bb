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
//   modreport print --results FILE --kernel VERSION --flavour NAME
//                   [--format text|ktap|table|none] [--module NAME [--number N]]
//                   [--junit FILE] [--html FILE [--sources FILE]]
//       prints the verdicts (of one module, with --module, as the N-th
//       subtest of a KTAP stream with --number; only the table of modules
//       by checks, with table; nothing, with none); exits 0 only if every
//       check passed; --html writes the page a course gives its students,
//       with the modules' source from the directories SOURCES names (a
//       line "MODULE DIR" each)
//   modreport print --format ktap-head --kernel VERSION --flavour NAME --count N
//       prints the head of a KTAP stream of N modules
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "boot_log.h"
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

// The page for a course (--html FILE), the modules' sources found in the
// directories SOURCES names, a line "MODULE DIR" each.
bool write_html(const std::string& path, const std::vector<modvm::Verdict>& verdicts,
                const modvm::Kernel& kernel, const std::string& sources) {
  std::map<std::string, std::string> dirs;
  std::ifstream list(sources);
  std::string line;
  while (std::getline(list, line))
    if (std::size_t space = line.find(' '); space != std::string::npos)
      dirs[line.substr(0, space)] = line.substr(space + 1);
  auto read_source = [&](std::string_view module,
                         std::string_view file) -> std::optional<modvm::Lines> {
    auto dir = dirs.find(std::string(module));
    if (dir == dirs.end() || file.find('/') != std::string_view::npos)
      return std::nullopt;
    std::ifstream in(dir->second + "/" + std::string(file));
    if (!in)
      return std::nullopt;
    return read_lines(dir->second + "/" + std::string(file));
  };
  char generated[64];
  std::time_t now = std::time(nullptr);
  std::strftime(generated, sizeof generated, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::ofstream out(path);
  modvm::print_html(out, verdicts, kernel, read_source, generated);
  out.close();
  if (!out) {
    std::cerr << "modreport: cannot write " << path << '\n';
    return false;
  }
  return true;
}

int usage() {
  std::cerr << "usage: modreport boot --results FILE --name NAME --ko FILE.ko --tree DIR"
               " --run DIR --checks CHECK,... [--keep-going]\n"
               "       modreport ran --run DIR\n"
               "       modreport kunit --run DIR --suite NAME\n"
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
    std::ifstream in(options["results"]);
    std::vector<modvm::Verdict> verdicts = modvm::read_verdicts(in);
    modvm::Kernel kernel{options["kernel"], options["flavour"]};
    std::string format = options.count("format") ? options["format"] : "text";
    if (options.count("module")) {
      std::vector<modvm::Verdict> mine;
      for (const modvm::Verdict& v : verdicts)
        if (v.module == options["module"])
          mine.push_back(v);
      verdicts = mine;
    }
    if (format == "ktap" && options.count("number"))
      modvm::print_ktap_module(std::cout, verdicts, options["module"],
                               std::stoi(options["number"]));
    else if (format == "ktap")
      modvm::print_ktap(std::cout, verdicts, kernel);
    else if (format == "text")
      modvm::print_text(std::cout, verdicts, kernel);
    else if (format == "table")
      modvm::print_table(std::cout, verdicts);
    else if (format != "none")
      return usage();
    if (options.count("html") && !write_html(options["html"], verdicts, kernel,
                                             options.count("sources") ? options["sources"] : ""))
      return 1;
    if (options.count("junit")) {
      std::ofstream junit(options["junit"]);
      modvm::print_junit(junit, verdicts, kernel);
      if (!junit) {
        std::cerr << "modreport: cannot write " << options["junit"] << '\n';
        return 1;
      }
    }
    return modvm::all_passed(verdicts) ? 0 : 1;
  }
  return usage();
}
