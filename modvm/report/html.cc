#include "html.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ostream>
#include <regex>

namespace modvm {
namespace {

const char* kStyle = R"(
body { font: 15px/1.4 system-ui, sans-serif; margin: 1.5em auto; max-width: 72em; color: #1d1d1f; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
p.about { color: #555; margin-top: 0; }
table.verdicts { border-collapse: collapse; margin: 1em 0 2em; }
table.verdicts th, table.verdicts td { border: 1px solid #ccc; padding: 0.25em 0.8em; text-align: left; }
table.verdicts td a { color: inherit; text-decoration: none; display: block; }
tr:target th { outline: 3px solid #0a58ca; }
td.pass, summary.pass { background: #d7f5dd; }
td.fail, summary.fail { background: #f8d0d0; font-weight: bold; }
td.skip, summary.skip { background: #eee; color: #666; }
section { margin-bottom: 2em; }
details { margin: 0.3em 0; border: 1px solid #ddd; }
details:target { border-color: #0a58ca; }
summary { padding: 0.3em 0.6em; cursor: pointer; }
pre { margin: 0.4em 0.8em; overflow-x: auto; font-size: 13px; }
figure { margin: 0.6em 0.8em; }
figcaption { font: 13px monospace; color: #555; }
pre.source { background: #f7f7f7; padding: 0.3em 0; }
pre.source span { display: block; padding: 0 0.5em; }
pre.source span.named { background: #ffe08a; font-weight: bold; }
pre.source span.unrun { background: #f8d0d0; }
p.unrun { margin: 0.4em 0.8em 0; font: 13px monospace; }
)";

// Opens the report an address names (a cell's link, or a link given out),
// now and whenever the address changes.
const char* kScript = R"(
function openTarget() {
  var id = decodeURIComponent(location.hash.slice(1));
  var target = id && document.getElementById(id);
  if (target && target.tagName === 'DETAILS') {
    target.open = true;
    target.scrollIntoView();
  }
}
window.addEventListener('hashchange', openTarget);
window.addEventListener('DOMContentLoaded', openTarget);
)";

std::string class_of(Verdict::Result result) {
  std::string mark = mark_of(result);
  std::transform(mark.begin(), mark.end(), mark.begin(), ::tolower);
  return mark;
}

// Anchors keep to letters, digits, '-' and '_': module and check names
// are already so, but the page must not break on one that is not.
std::string anchor(std::string_view prefix, std::string_view name) {
  std::string out(prefix);
  for (char c : name)
    out += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_';
  return out;
}

std::string report_id(const Verdict& v) {
  return anchor("r-", v.module) + anchor("-", v.check);
}

// FILE's lines FIRST to LAST marked with the class `mark`, `context` lines
// around them.
void print_source(std::ostream& out, const std::string& file, int first, int last,
                  const Lines& source, int context, const char* mark) {
  if (first < 1 || last > static_cast<int>(source.size()))
    return;
  out << "<figure><figcaption>" << xml_escape(file) << ':' << first;
  if (last != first)
    out << '-' << last;
  out << "</figcaption><pre class=\"source\">";
  int from = std::max(1, first - context);
  int to = std::min(static_cast<int>(source.size()), last + context);
  for (int n = from; n <= to; ++n) {
    out << "<span" << (n >= first && n <= last ? std::string(" class=\"") + mark + "\"" : "")
        << '>';
    char number[16];
    std::snprintf(number, sizeof number, "%5d  ", n);
    out << number << xml_escape(source[static_cast<std::size_t>(n - 1)]) << "</span>";
  }
  out << "</pre></figure>\n";
}

// The fuzz check's seed, from its title ("... seed N ..."), to replay it.
std::string seed_of(const std::vector<Verdict>& verdicts, const std::string& module) {
  static const std::regex seed(R"(seed ([0-9]+))");
  for (const Verdict& v : verdicts) {
    std::smatch match;
    if (v.module != module)
      continue;
    if (std::regex_search(v.title, match, seed))
      return match.str(1);
    for (const std::string& line : v.body)
      if (std::regex_search(line, match, seed))
        return match.str(1);
  }
  return "";
}

}  // namespace

std::vector<Place> places_named(const Lines& report) {
  static const std::regex place(R"(([A-Za-z0-9_.+-]+\.[ch]):([0-9]+))");
  std::vector<Place> places;
  for (const std::string& line : report)
    for (std::sregex_iterator it(line.begin(), line.end(), place), end; it != end; ++it) {
      Place p{it->str(1), std::stoi(it->str(2))};
      if (std::find(places.begin(), places.end(), p) == places.end())
        places.push_back(p);
    }
  return places;
}

void print_html(std::ostream& out, const std::vector<Verdict>& all, const Kernel& kernel,
                const ReadSource& read_source, const std::string& generated, int context,
                const CoverageByModule& coverage) {
  std::vector<Verdict> verdicts = once_each(all);
  std::vector<std::string> modules = modules_of(verdicts);
  std::vector<std::string> checks;
  for (const Verdict& v : verdicts)
    if (std::find(checks.begin(), checks.end(), v.check) == checks.end())
      checks.push_back(v.check);

  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<title>modvm: " << modules.size() << (modules.size() == 1 ? " module" : " modules")
      << " on " << xml_escape(on_kernel(kernel)) << "</title>\n<style>" << kStyle
      << "</style>\n<script>" << kScript << "</script>\n</head>\n<body>\n"
      << "<h1>Module checks on " << xml_escape(on_kernel(kernel)) << "</h1>\n"
      << "<p class=\"about\">Kernel " << xml_escape(kernel.version) << ", flavour "
      << xml_escape(kernel.flavour);
  if (std::string unseen = not_looked_for(kernel); !unseen.empty())
    out << "; " << xml_escape(unseen);
  out << ". Checked " << xml_escape(generated) << ".</p>\n";

  out << "<table class=\"verdicts\">\n<thead><tr><th>module</th>";
  for (const std::string& c : checks)
    out << "<th>" << xml_escape(c) << "</th>";
  out << "</tr></thead>\n<tbody>\n";
  for (const std::string& module : modules) {
    out << "<tr id=\"" << anchor("m-", module) << "\"><th><a href=\"#" << anchor("m-", module)
        << "\">" << xml_escape(module) << "</a></th>";
    for (const std::string& c : checks) {
      auto v = std::find_if(verdicts.begin(), verdicts.end(), [&](const Verdict& each) {
        return each.module == module && each.check == c;
      });
      if (v == verdicts.end()) {
        out << "<td>-</td>";
        continue;
      }
      out << "<td class=\"" << class_of(v->result) << "\"><a href=\"#" << report_id(*v)
          << "\" title=\"" << xml_escape(v->title) << "\">" << mark_of(v->result) << "</a></td>";
    }
    out << "</tr>\n";
  }
  out << "</tbody>\n</table>\n";

  for (const std::string& module : modules) {
    int passed = 0, failed = 0, not_run = 0;
    double seconds = 0;
    for (const Verdict& v : verdicts)
      if (v.module == module) {
        passed += v.result == Verdict::Result::passed;
        failed += v.result == Verdict::Result::failed;
        not_run += v.result == Verdict::Result::not_run;
        seconds += v.seconds;
      }
    out << "<section id=\"" << anchor("s-", module) << "\">\n<h2>" << xml_escape(module)
        << "</h2>\n<p class=\"about\">" << passed << " passed, " << failed << " failed";
    if (not_run)
      out << ", " << not_run << " not run";
    out << "; " << seconds_text(seconds) << " s of checks";
    if (std::string seed = seed_of(verdicts, module); !seed.empty())
      out << "; fuzz seed " << seed << " (replay with --seed " << seed << ")";
    out << ".</p>\n";
    for (const Verdict& v : verdicts) {
      if (v.module != module)
        continue;
      out << "<details id=\"" << report_id(v) << "\">\n<summary class=\""
          << class_of(v.result) << "\">" << mark_of(v.result) << ' ' << xml_escape(v.check);
      if (v.result != Verdict::Result::not_run)
        out << " (" << seconds_text(v.seconds) << " s)";
      if (!v.title.empty())
        out << ": " << xml_escape(v.title);
      out << "</summary>\n";
      if (!v.body.empty()) {
        out << "<pre class=\"report\">";
        for (const std::string& line : v.body)
          out << xml_escape(line) << '\n';
        out << "</pre>\n";
      }
      Lines named{v.title};
      named.insert(named.end(), v.body.begin(), v.body.end());
      for (const Place& place : places_named(named))
        if (std::optional<Lines> source = read_source(module, place.file))
          print_source(out, place.file, place.line, place.line, *source, context, "named");
      out << "</details>\n";
    }
    if (auto it = coverage.find(module); it != coverage.end()) {
      out << "<details id=\"" << anchor("c-", module) << "\" class=\"coverage\">\n"
          << "<summary>coverage: " << xml_escape(it->second.summary) << "; "
          << it->second.unrun.size()
          << (it->second.unrun.size() == 1 ? " range" : " ranges") << " that no check ran</summary>\n";
      for (const Unrun& unrun : it->second.unrun) {
        out << "<p class=\"unrun\">not run by any check: " << xml_escape(unrun_text(unrun))
            << "</p>\n";
        if (std::optional<Lines> source = read_source(module, unrun.file))
          print_source(out, unrun.file, unrun.first, unrun.last, *source, 2, "unrun");
      }
      out << "</details>\n";
    }
    out << "</section>\n";
  }
  out << "</body>\n</html>\n";
}

}  // namespace modvm
