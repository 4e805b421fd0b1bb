#include "coverage.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <ostream>
#include <regex>
#include <sstream>

namespace modvm {
namespace {

// "120,121,134", or "-" for none.
std::string joined(const std::set<int>& lines) {
  std::string out;
  for (int line : lines)
    out += (out.empty() ? "" : ",") + std::to_string(line);
  return out.empty() ? "-" : out;
}

std::set<int> numbers(const std::string& text) {
  std::set<int> out;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, ','))
    if (!part.empty() && part.find_first_not_of("0123456789") == std::string::npos)
      out.insert(std::stoi(part));
  return out;
}

}  // namespace

std::optional<std::string> base64_decode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned int bits = 0;
  int count = 0, padding = 0;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == ' ')
      continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    std::size_t value = alphabet.find(c);
    if (value == std::string::npos || padding)
      return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned int>(value);
    if (++count == 4) {
      out += static_cast<char>((bits >> 16) & 0xff);
      out += static_cast<char>((bits >> 8) & 0xff);
      out += static_cast<char>(bits & 0xff);
      bits = 0;
      count = 0;
    }
  }
  if (count == 1 || (count + padding) % 4 != 0 || padding > 2)
    return std::nullopt;
  if (count == 2)
    out += static_cast<char>((bits >> 4) & 0xff);
  if (count == 3) {
    out += static_cast<char>((bits >> 10) & 0xff);
    out += static_cast<char>((bits >> 2) & 0xff);
  }
  return out;
}

std::map<std::string, std::string> read_gcda(const Lines& sent) {
  std::map<std::string, std::string> files;
  std::string path, text;
  bool inside = false;
  for (const std::string& line : sent) {
    if (line.rfind("MODVM-GCDA ", 0) == 0) {
      path = line.substr(11);
      text.clear();
      inside = true;
    } else if (inside && line == "MODVM-GCDA-END") {
      // A file cut short (the guest ended mid-way) is no file.
      if (std::optional<std::string> bytes = base64_decode(text))
        files[path] = *bytes;
      inside = false;
    } else if (inside) {
      text += line;
    }
  }
  return files;
}

std::vector<FileCoverage> parse_gcov(const Lines& report) {
  std::vector<FileCoverage> files;
  for (const std::string& line : report) {
    std::size_t colon = line.find(':');
    std::size_t second = colon == std::string::npos ? colon : line.find(':', colon + 1);
    if (second == std::string::npos)
      continue;
    std::string count = trim(line.substr(0, colon));
    std::string number = trim(line.substr(colon + 1, second - colon - 1));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
      continue;
    int n = std::stoi(number);
    if (n == 0) {
      if (line.compare(second + 1, 7, "Source:") == 0)
        files.push_back({line.substr(second + 8), {}, {}});
      continue;
    }
    if (files.empty() || count == "-" || count.empty())
      continue;
    files.back().code.insert(n);
    if (count != "#####" && count != "=====" && std::isdigit(static_cast<unsigned char>(count[0])))
      files.back().ran.insert(n);
  }
  return files;
}

void Coverage::add(const FileCoverage& file) {
  FileCoverage& mine = files[file.file];
  mine.file = file.file;
  mine.code.insert(file.code.begin(), file.code.end());
  mine.ran.insert(file.ran.begin(), file.ran.end());
}

std::string function_at(const Lines& source, int line) {
  static const std::regex name(R"(([A-Za-z_][A-Za-z0-9_]*)\s*\()");
  // A definition's head, where gcov counts the function's entry: its
  // brace follows within a few lines.
  if (line >= 1 && line <= static_cast<int>(source.size())) {
    const std::string& head = source[static_cast<std::size_t>(line - 1)];
    std::smatch match;
    if (!head.empty() && !std::isspace(static_cast<unsigned char>(head[0])) && head[0] != '{' &&
        head[0] != '}' && head.find(';') == std::string::npos &&
        std::regex_search(head, match, name))
      for (int n = line + 1; n <= line + 3 && n <= static_cast<int>(source.size()); ++n) {
        const std::string& next = source[static_cast<std::size_t>(n - 1)];
        if (next.rfind('{', 0) == 0)
          return match.str(1);
        if (next.empty() || next.find(';') != std::string::npos)
          break;  // a declaration, not a definition's head
      }
  }
  for (int n = std::min(line, static_cast<int>(source.size())); n >= 2; --n) {
    const std::string& text = source[static_cast<std::size_t>(n - 1)];
    if (text.rfind('}', 0) == 0 && n < line)
      return "";  // between functions
    if (text.rfind('{', 0) != 0)
      continue;
    // The definition's head, on the lines above the brace.
    std::string head;
    for (int h = n - 1; h >= 1 && h >= n - 4; --h) {
      head = source[static_cast<std::size_t>(h - 1)] + " " + head;
      if (head.find('(') != std::string::npos && !std::isspace(
                                                     static_cast<unsigned char>(head[0])))
        break;
    }
    std::smatch match;
    return std::regex_search(head, match, name) ? match.str(1) : "";
  }
  return "";
}

std::vector<Unrun> unrun_ranges(const Coverage& coverage, const SourceOf& source) {
  std::vector<Unrun> out;
  for (const auto& [name, file] : coverage.files) {
    std::optional<Lines> text = source(name);
    Unrun range;
    bool open = false;
    for (int line : file.code) {
      bool ran = file.ran.count(line) > 0;
      std::string function = text ? function_at(*text, line) : "";
      if (ran || (open && function != range.function)) {
        if (open)
          out.push_back(range);
        open = false;
      }
      if (ran)
        continue;
      if (!open)
        range = {name, line, line, function};
      range.last = line;
      open = true;
    }
    if (open)
      out.push_back(range);
  }
  return out;
}

void write_coverage(std::ostream& out, const Coverage& coverage) {
  for (const auto& [name, file] : coverage.files)
    out << "coverage " << coverage.module << ' ' << name << ' ' << joined(file.code) << ' '
        << joined(file.ran) << '\n';
}

std::vector<Coverage> read_coverage(std::istream& in) {
  std::vector<Coverage> all;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("coverage ", 0) != 0)
      continue;
    std::istringstream fields(line.substr(9));
    std::string module, name, code, ran;
    fields >> module >> name >> code >> ran;
    if (name.empty())
      continue;
    auto it = std::find_if(all.begin(), all.end(),
                           [&](const Coverage& c) { return c.module == module; });
    if (it == all.end()) {
      all.push_back({module, {}});
      it = all.end() - 1;
    }
    it->add({name, numbers(code), numbers(ran)});
  }
  return all;
}

std::string coverage_summary(const Coverage& coverage) {
  std::size_t code = 0, ran = 0;
  for (const auto& [name, file] : coverage.files) {
    code += file.code.size();
    ran += file.ran.size();
  }
  std::size_t percent = code ? ran * 100 / code : 0;
  return std::to_string(percent) + "% of the module's lines ran (" + std::to_string(ran) +
         " of " + std::to_string(code) + ")";
}

std::string unrun_text(const Unrun& unrun) {
  std::string text = unrun.file + ":" + std::to_string(unrun.first);
  if (unrun.last != unrun.first)
    text += "-" + std::to_string(unrun.last);
  if (!unrun.function.empty())
    text += " in " + unrun.function;
  return text;
}

}  // namespace modvm
