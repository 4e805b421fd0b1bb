#include "kunit_log.h"

#include <ostream>
#include <regex>
#include <string_view>

namespace modvm {

KunitSuite read_kunit(const Lines& console, const std::string& name) {
  KunitSuite suite;
  suite.name = name;
  static const std::regex result(R"(^( *)(not )?ok [0-9]+ (\S+)( # SKIP.*)?$)");
  Lines pending;  // diagnostics before the case's own line
  for (const std::string& raw : console) {
    std::string line = strip_stamp(raw);
    std::size_t text = line.find_first_not_of(' ');
    std::string_view trimmed =
        text == std::string::npos ? std::string_view() : std::string_view(line).substr(text);
    if (!suite.started) {
      suite.started = trimmed == "# Subtest: " + name;
      continue;
    }
    std::smatch match;
    if (std::regex_match(line, match, result)) {
      if (match[1].length() == 0) {
        suite.finished = match[3].str() == name;
        if (suite.finished)
          break;
        continue;
      }
      KunitCase c;
      c.name = match[3].str();
      c.ok = !match[2].matched;
      c.skipped = match[4].matched;
      c.diagnostics.swap(pending);
      suite.cases.push_back(c);
      suite.after.clear();
      continue;
    }
    // A case's diagnostics are "# " lines at its indent, and what they
    // quote beneath at the same indent; a warning's frames are not.
    if (trimmed.rfind("#", 0) == 0 && trimmed.find(" pass:") == std::string_view::npos &&
        text >= 4)
      pending.emplace_back(trimmed);
    else if (text >= 4 && !pending.empty())
      pending.emplace_back(trimmed);
    else
      suite.after.push_back(line);
  }
  if (suite.finished)
    suite.after.clear();
  else if (suite.after.size() > 25)
    suite.after.erase(suite.after.begin(), suite.after.end() - 25);
  return suite;
}

bool kunit_passed(const KunitSuite& suite) {
  if (!suite.finished)
    return false;
  for (const KunitCase& c : suite.cases)
    if (!c.ok)
      return false;
  return true;
}

void print_kunit(std::ostream& out, const KunitSuite& suite) {
  if (!suite.started) {
    out << "KUnit suite " << suite.name << ": not run (the kernel has no such suite, or did not"
        << " boot as far as its tests)\n";
    return;
  }
  int passed = 0, failed = 0;
  for (const KunitCase& c : suite.cases)
    (c.ok ? passed : failed) += 1;
  // The bench's kernel's tests, not the module's: its cases are shown
  // only when one of them did not pass.
  out << "KUnit suite " << suite.name << " of the bench's kernel, not of the module: " << passed
      << " passed, " << failed << " failed"
      << (suite.finished ? "" : ", then the kernel stopped in the next case") << '\n';
  if (kunit_passed(suite))
    return;
  for (const KunitCase& c : suite.cases) {
    out << "  " << (c.ok ? "ok" : "not ok") << ' ' << c.name << (c.skipped ? " (skipped)" : "")
        << '\n';
    if (!c.ok)
      for (const std::string& line : c.diagnostics)
        out << "      " << line << '\n';
  }
  if (!suite.finished)
    for (const std::string& line : suite.after)
      out << "  | " << line << '\n';
}

}  // namespace modvm
