#include "verdicts.h"

#include <cstdio>
#include <iomanip>
#include <istream>
#include <map>
#include <ostream>
#include <sstream>

namespace modvm {
namespace {

const char* result_name(Verdict::Result result) {
  switch (result) {
    case Verdict::Result::passed: return "passed";
    case Verdict::Result::failed: return "failed";
    case Verdict::Result::not_run: return "not_run";
  }
  return "";
}

}  // namespace

const char* mark_of(Verdict::Result result) {
  switch (result) {
    case Verdict::Result::passed: return "PASS";
    case Verdict::Result::failed: return "FAIL";
    case Verdict::Result::not_run: return "SKIP";
  }
  return "";
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

std::vector<std::string> modules_of(const std::vector<Verdict>& verdicts) {
  std::vector<std::string> modules;
  for (const Verdict& verdict : verdicts)
    if (modules.empty() || modules.back() != verdict.module)
      modules.push_back(verdict.module);
  return modules;
}

std::string xml_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // XML 1.0 has no place for other control characters.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t')
          out += '?';
        else
          out += c;
    }
  }
  return out;
}

std::string on_kernel(const Kernel& kernel) {
  return "Linux " + kernel.version + " (" + kernel.flavour + ")";
}

// What the flavour's detector cannot see, said plainly: a pass is no word
// on it.
std::string not_looked_for(const Kernel& kernel) {
  if (kernel.flavour == "kasan")
    return "not looked for on this kernel: data races (--flavour kcsan looks for them)";
  if (kernel.flavour == "kcsan")
    return "not looked for on this kernel: use after free, out-of-bounds access "
           "(--flavour kasan looks for them)";
  return "";
}

void write_verdicts(std::ostream& out, const std::vector<Verdict>& verdicts) {
  for (const Verdict& verdict : verdicts) {
    out << "verdict " << verdict.module << ' ' << verdict.check << ' '
        << result_name(verdict.result) << ' ' << seconds_text(verdict.seconds) << '\n'
        << "title " << verdict.title << '\n';
    for (const std::string& line : verdict.body)
      out << "body " << line << '\n';
    out << "end\n";
  }
}

std::vector<Verdict> read_verdicts(std::istream& in) {
  std::vector<Verdict> verdicts;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("verdict ", 0) == 0) {
      Verdict verdict;
      std::istringstream fields(line.substr(8));
      std::string result;
      fields >> verdict.module >> verdict.check >> result >> verdict.seconds;
      verdict.result = result == "passed"   ? Verdict::Result::passed
                       : result == "failed" ? Verdict::Result::failed
                                            : Verdict::Result::not_run;
      verdicts.push_back(verdict);
    } else if (!verdicts.empty() && line.rfind("title ", 0) == 0) {
      verdicts.back().title = line.substr(6);
    } else if (!verdicts.empty() && line.rfind("body ", 0) == 0) {
      verdicts.back().body.push_back(line.substr(5));
    }
  }
  return verdicts;
}

std::vector<Verdict> once_each(const std::vector<Verdict>& verdicts) {
  std::vector<Verdict> out;
  std::map<std::string, std::string> first;  // module and title, check
  for (Verdict verdict : verdicts) {
    if (verdict.result == Verdict::Result::failed) {
      std::string key = verdict.module + "\n" + verdict.title;
      auto [at, fresh] = first.emplace(key, verdict.check);
      if (!fresh) {
        verdict.title += " (as in " + at->second + ")";
        verdict.body.clear();
      }
    }
    out.push_back(verdict);
  }
  return out;
}

bool all_passed(const std::vector<Verdict>& verdicts) {
  for (const Verdict& verdict : verdicts)
    if (verdict.result != Verdict::Result::passed)
      return false;
  return !verdicts.empty();
}

void print_module_text(std::ostream& out, const std::vector<Verdict>& all,
                       const std::string& module, const Kernel& kernel,
                       const CoverageByModule& coverage) {
  int passed = 0, failed = 0, not_run = 0;
  out << module << " on " << on_kernel(kernel) << ":\n";
  if (std::string unseen = not_looked_for(kernel); !unseen.empty())
    out << "  " << unseen << '\n';
  for (const Verdict& v : once_each(all)) {
    if (v.module != module)
      continue;
    switch (v.result) {
      case Verdict::Result::passed:
        ++passed;
        out << "PASS " << v.check << " (" << seconds_text(v.seconds) << " s)"
            << (v.title.empty() ? "" : ": " + v.title) << '\n';
        break;
      case Verdict::Result::failed:
        ++failed;
        out << "FAIL " << v.check << " (" << seconds_text(v.seconds) << " s): " << v.title << '\n';
        break;
      case Verdict::Result::not_run:
        ++not_run;
        out << "SKIP " << v.check << ": " << v.title << '\n';
        break;
    }
    for (const std::string& line : v.body)
      out << "  | " << line << '\n';
  }
  if (auto it = coverage.find(module); it != coverage.end()) {
    out << "  coverage: " << it->second.summary << '\n';
    for (const Unrun& unrun : it->second.unrun)
      out << "  not run by any check: " << unrun_text(unrun) << '\n';
  }
  out << passed << " passed, " << failed << " failed";
  if (not_run)
    out << ", " << not_run << " not run";
  out << '\n';
}

void print_table(std::ostream& out, const std::vector<Verdict>& verdicts) {
  std::vector<std::string> modules = modules_of(verdicts);
  if (modules.size() < 2)
    return;
  std::vector<std::string> checks;
  std::size_t width = 6;
  for (const Verdict& v : verdicts) {
    width = std::max(width, v.module.size());
    bool known = false;
    for (const std::string& c : checks)
      known = known || c == v.check;
    if (!known)
      checks.push_back(v.check);
  }
  out << '\n' << std::left << std::setw(static_cast<int>(width)) << "module";
  for (const std::string& c : checks)
    out << "  " << c;
  out << '\n';
  for (const std::string& module : modules) {
    out << std::setw(static_cast<int>(width)) << module;
    for (const std::string& c : checks) {
      std::string mark = "-";
      for (const Verdict& v : verdicts)
        if (v.module == module && v.check == c)
          mark = mark_of(v.result);
      out << "  " << std::setw(static_cast<int>(c.size())) << mark;
    }
    out << '\n';
  }
  out << std::right;
}

void print_text(std::ostream& out, const std::vector<Verdict>& verdicts,
                const Kernel& kernel, const CoverageByModule& coverage) {
  for (const std::string& module : modules_of(verdicts))
    print_module_text(out, verdicts, module, kernel, coverage);
  print_table(out, verdicts);
}

void print_ktap_head(std::ostream& out, const Kernel& kernel, std::size_t modules) {
  out << "KTAP version 1\n# modvm: " << on_kernel(kernel) << '\n';
  if (std::string unseen = not_looked_for(kernel); !unseen.empty())
    out << "# modvm: " << unseen << '\n';
  out << "1.." << modules << '\n';
}

void print_ktap_module(std::ostream& out, const std::vector<Verdict>& all,
                       const std::string& module, int number,
                       const CoverageByModule& coverage) {
  std::vector<Verdict> verdicts;
  for (const Verdict& v : once_each(all))
    if (v.module == module)
      verdicts.push_back(v);
  bool passed = true;
  out << "    KTAP version 1\n    # Subtest: " << module << "\n    1.." << verdicts.size()
      << '\n';
  int n = 0;
  for (const Verdict& v : verdicts) {
    ++n;
    if (v.result == Verdict::Result::failed) {
      passed = false;
      out << "    # " << v.check << ": " << v.title << '\n';
      for (const std::string& line : v.body)
        out << "    # | " << line << '\n';
    } else if (v.result == Verdict::Result::passed && !v.title.empty()) {
      out << "    # " << v.check << ": " << v.title << '\n';
    }
    out << "    # " << v.check << ": time " << seconds_text(v.seconds) << " s\n";
    if (v.result == Verdict::Result::not_run) {
      passed = false;
      out << "    ok " << n << ' ' << v.check << " # SKIP " << v.title << '\n';
    } else {
      out << "    " << (v.result == Verdict::Result::passed ? "ok " : "not ok ") << n << ' '
          << v.check << '\n';
    }
  }
  if (auto it = coverage.find(module); it != coverage.end()) {
    out << "    # coverage: " << it->second.summary << '\n';
    for (const Unrun& unrun : it->second.unrun)
      out << "    # not run by any check: " << unrun_text(unrun) << '\n';
  }
  out << (passed ? "ok " : "not ok ") << number << ' ' << module << '\n';
}

void print_ktap(std::ostream& out, const std::vector<Verdict>& verdicts,
                const Kernel& kernel, const CoverageByModule& coverage) {
  std::vector<std::string> modules = modules_of(verdicts);
  print_ktap_head(out, kernel, modules.size());
  int number = 0;
  for (const std::string& module : modules)
    print_ktap_module(out, verdicts, module, ++number, coverage);
}

void print_junit(std::ostream& out, const std::vector<Verdict>& all,
                 const Kernel& kernel, const CoverageByModule& coverage) {
  std::vector<Verdict> verdicts = once_each(all);
  auto count = [&](const std::string& module, Verdict::Result result) {
    int n = 0;
    for (const Verdict& v : verdicts)
      n += (module.empty() || v.module == module) && v.result == result;
    return n;
  };
  auto total = [&](const std::string& module) {
    double seconds = 0;
    int n = 0;
    for (const Verdict& v : verdicts)
      if (module.empty() || v.module == module)
        seconds += v.seconds, ++n;
    return std::make_pair(n, seconds);
  };
  auto [tests, seconds] = total("");
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites name=\"modvm on " << xml_escape(on_kernel(kernel)) << "\" tests=\"" << tests
      << "\" failures=\"" << count("", Verdict::Result::failed) << "\" skipped=\""
      << count("", Verdict::Result::not_run) << "\" time=\"" << seconds_text(seconds) << "\">\n";
  for (const std::string& module : modules_of(verdicts)) {
    auto [n, s] = total(module);
    out << "  <testsuite name=\"" << xml_escape(module) << "\" tests=\"" << n
        << "\" failures=\"" << count(module, Verdict::Result::failed) << "\" skipped=\""
        << count(module, Verdict::Result::not_run) << "\" time=\"" << seconds_text(s) << "\">\n"
        << "    <properties>\n"
        << "      <property name=\"kernel\" value=\"" << xml_escape(kernel.version) << "\"/>\n"
        << "      <property name=\"flavour\" value=\"" << xml_escape(kernel.flavour) << "\"/>\n";
    if (auto it = coverage.find(module); it != coverage.end()) {
      std::string unrun;
      for (const Unrun& u : it->second.unrun)
        unrun += (unrun.empty() ? "" : "; ") + unrun_text(u);
      out << "      <property name=\"coverage\" value=\"" << xml_escape(it->second.summary)
          << "\"/>\n"
          << "      <property name=\"not_run_by_any_check\" value=\"" << xml_escape(unrun)
          << "\"/>\n";
    }
    out << "    </properties>\n";
    for (const Verdict& v : verdicts) {
      if (v.module != module)
        continue;
      out << "    <testcase classname=\"modvm." << xml_escape(module) << "\" name=\""
          << xml_escape(v.check) << "\" time=\"" << seconds_text(v.seconds) << '"';
      if (v.result == Verdict::Result::passed) {
        out << "/>\n";
        continue;
      }
      out << ">\n";
      if (v.result == Verdict::Result::not_run) {
        out << "      <skipped message=\"" << xml_escape(v.title) << "\"/>\n";
      } else {
        // The text is the report; without one, the title again, so that a
        // reader showing only the text sees why.
        out << "      <failure message=\"" << xml_escape(v.title) << "\">";
        for (const std::string& line : v.body)
          out << xml_escape(line) << '\n';
        if (v.body.empty())
          out << xml_escape(v.title) << '\n';
        out << "</failure>\n";
      }
      out << "    </testcase>\n";
    }
    out << "  </testsuite>\n";
  }
  out << "</testsuites>\n";
}

}  // namespace modvm
