#include "symbols.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>

namespace modvm {

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string output_of(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  if (!pipe)
    return out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
    out.append(buffer, n);
  return out;
}

namespace {

std::string basename_of(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

bool parse_load(std::string_view text, std::string* name, Load* load) {
  static const std::regex fields(
      R"(^(\S+) (?:0x([0-9a-f]+)|-) ([0-9]+|-)((?: \S+=0x[0-9a-f]+)*)$)");
  static const std::regex section(R"( (\S+)=0x([0-9a-f]+))");
  std::string line(text);
  std::smatch match;
  if (!std::regex_match(line, match, fields) || match[2].length() > 16 ||
      match[3].length() > 12)
    return false;
  *name = match[1].str();
  std::string sections = match[4].str();
  for (std::sregex_iterator it(sections.begin(), sections.end(), section), end; it != end; ++it)
    if ((*it)[2].length() <= 16)
      load->sections[(*it)[1].str()] = std::stoull((*it)[2].str(), nullptr, 16);
  // A module that went before its place was read: its .text begins its
  // core, and its size is unknown (its symbols' own bounds still hold).
  auto code = load->sections.find(".text");
  load->base = match[2].matched ? std::stoull(match[2].str(), nullptr, 16)
               : code != load->sections.end() ? code->second
                                              : 0;
  load->size = match[3].str() != "-" ? std::stoull(match[3].str()) : UINT64_MAX - load->base;
  return load->base != 0;
}

std::vector<Symbol> read_symbols(const std::string& object) {
  std::vector<Symbol> symbols;
  std::istringstream lines(output_of("objdump -t " + quote(object) + " 2>/dev/null"));
  static const std::regex function(
      R"(^([0-9a-f]+) [lgw ]+F (\S*text\S*)\s+([0-9a-f]+) (\S+)$)");
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch match;
    if (std::regex_match(line, match, function))
      symbols.push_back({match[2].str(), match[4].str(),
                         std::stoull(match[1].str(), nullptr, 16),
                         std::stoull(match[3].str(), nullptr, 16)});
  }
  return symbols;
}

std::string name_address(std::uint64_t address, const std::vector<Load>& loads,
                         const std::vector<Symbol>& symbols) {
  for (auto load = loads.rbegin(); load != loads.rend(); ++load) {
    if (address < load->base || address >= load->base + load->size)
      continue;
    for (const Symbol& symbol : symbols) {
      // A module's core begins with its .text, when nothing says more.
      auto section = load->sections.find(symbol.section);
      std::uint64_t at = section != load->sections.end() ? section->second
                         : symbol.section == ".text"     ? load->base
                                                         : 0;
      if (at == 0)
        continue;
      std::uint64_t start = at + symbol.offset;
      if (address >= start && address < start + symbol.size) {
        char text[256];
        std::snprintf(text, sizeof text, "%s+0x%llx/0x%llx", symbol.name.c_str(),
                      static_cast<unsigned long long>(address - start),
                      static_cast<unsigned long long>(symbol.size));
        return text;
      }
    }
  }
  return "";
}

Lines name_unloaded(const Lines& lines, std::string_view module,
                    const std::vector<Load>& loads, const std::vector<Symbol>& symbols) {
  static const std::regex address(R"((0x)?(ffffffff[0-9a-f]{8})\b)");
  Lines named;
  for (const std::string& line : lines) {
    std::string out;
    auto begin = line.cbegin();
    for (std::sregex_iterator it(line.begin(), line.end(), address), end; it != end; ++it) {
      std::string name =
          name_address(std::stoull((*it)[2].str(), nullptr, 16), loads, symbols);
      // A frame the kernel named already is left as it is.
      bool named_already = (*it)[0].second != line.end() && *(*it)[0].second == '>';
      out.append(begin, (*it)[0].first);
      if (name.empty() || named_already)
        out.append((*it)[0].first, (*it)[0].second);
      else
        out += name + " [" + std::string(module) + ", unloaded]";
      begin = (*it)[0].second;
    }
    out.append(begin, line.end());
    named.push_back(out);
  }
  return named;
}

std::vector<std::string> module_frames(const Lines& lines, std::string_view module) {
  std::vector<std::string> frames;
  for (const std::string& line : lines)
    for (std::sregex_iterator it(line.begin(), line.end(), frame_pattern()), end; it != end;
         ++it)
      if ((*it)[3].str() == module)
        frames.push_back(frame_of(*it));
  return frames;
}

std::vector<std::string> return_frames(const Lines& lines, std::string_view module) {
  // A frame alone on its line, after "? " or "[<address>] " at most.
  static const std::regex before(R"(^\s*(\? |\[<[0-9a-f()_ptrval]+>\] )?$)");
  std::vector<std::string> frames;
  for (const std::string& line : lines) {
    std::smatch match;
    std::string text = strip_stamp(line);
    if (std::regex_search(text, match, frame_pattern()) && match[3].str() == module &&
        std::regex_match(match.prefix().str(), before) &&
        match.suffix().str().find_first_not_of(" \t") == std::string::npos)
      frames.push_back(frame_of(match));
  }
  return frames;
}

std::string before_return(const std::string& frame) {
  std::size_t plus = frame.find("+0x"), slash = frame.find('/', plus);
  if (plus == std::string::npos || slash == std::string::npos)
    return frame;
  std::uint64_t offset = std::stoull(frame.substr(plus + 3, slash - plus - 3), nullptr, 16);
  if (offset == 0)
    return frame;
  char text[32];
  std::snprintf(text, sizeof text, "+0x%llx", static_cast<unsigned long long>(offset - 1));
  return frame.substr(0, plus) + text + frame.substr(slash);
}

std::map<std::string, std::string> source_lines(const std::string& tree,
                                                const std::string& object,
                                                const std::vector<std::string>& frames) {
  std::map<std::string, std::string> lines;
  if (frames.empty())
    return lines;
  // Asked without the size: the kernel counts a module's last init
  // function to the end of its init pages ("elevator_init+0x4d/0x1000"),
  // which faddr2line would refuse as a size mismatch.
  std::map<std::string, std::vector<std::string>> asked;  // "fn+0x4d": frames
  std::string command = quote(tree + "/scripts/faddr2line") + " " + quote(object);
  for (const std::string& frame : frames) {
    std::string bare = frame.substr(0, frame.find('/'));
    if (asked[bare].empty())
      command += " " + quote(bare);
    asked[bare].push_back(frame);
  }
  std::istringstream out(output_of(command + " 2>/dev/null"));
  static const std::regex header(R"(^(\S+\+0x[0-9a-f]+)/0x[0-9a-f]+:$)");
  static const std::regex at(R"(^(\(inlined by\) )?(\S+) at (\S+?:[0-9]+))");
  std::map<std::string, std::string> found;  // by "fn+0x4d"
  std::string line, current, function_of_frame;
  while (std::getline(out, line)) {
    std::smatch match;
    if (std::regex_match(line, match, header)) {
      current = match[1].str();
      function_of_frame = current.substr(0, current.find('+'));
      continue;
    }
    if (current.empty() || !std::regex_search(line, match, at) ||
        match[3].str().rfind("??", 0) == 0)
      continue;
    std::string place = basename_of(match[3].str());
    std::string& text = found[current];
    if (match[1].matched)
      text += ", inlined in " + match[2].str() + " at " + place;
    else
      text = match[2].str() == function_of_frame ? place : place + " in " + match[2].str();
  }
  for (const auto& [bare, text] : found)
    for (const std::string& frame : asked[bare])
      lines[frame] = text;
  return lines;
}

}  // namespace modvm
