#include "protocol.h"

namespace modvm::protocol {
namespace {

struct Form {
  Kind kind;
  std::string_view before, after;  // around the rest; no rest when both end it
  bool takes_rest;
};

constexpr Form kForms[] = {
    {Kind::loaded, "modvm: loaded ", "", true},
    {Kind::time, "modvm: time ", "", true},
    {Kind::note, "modvm: note ", "", true},
    {Kind::hung, "modvm: hung ", "", true},
    {Kind::stalled, "modvm: stalled ", "", true},
    {Kind::kept, "modvm: kept ", "", true},
    {Kind::fresh_boot, "modvm: fresh boot", "", false},
    {Kind::report, "modvm: report ", "", true},
    {Kind::check_begins, "modvm: check ", " begins", true},
    {Kind::rmmod, "modvm: rmmod", "", false},
    {Kind::unloaded, "modvm: unloaded", "", false},
};

const Form& form_of(Kind kind) {
  for (const Form& form : kForms)
    if (form.kind == kind)
      return form;
  return kForms[0];  // every kind has its form
}

}  // namespace

std::string line(Kind kind, std::string_view rest) {
  const Form& form = form_of(kind);
  std::string text(form.before);
  if (form.takes_rest)
    text += rest;
  return text += form.after;
}

std::optional<Line> read(std::string_view text) {
  for (const Form& form : kForms) {
    if (!form.takes_rest) {
      if (text == form.before)
        return Line{form.kind, ""};
      continue;
    }
    if (text.size() > form.before.size() + form.after.size() && text.starts_with(form.before) &&
        text.ends_with(form.after))
      return Line{form.kind, std::string(text.substr(form.before.size(), text.size() -
                                                                           form.before.size() -
                                                                           form.after.size()))};
  }
  return std::nullopt;
}

std::optional<Line> read_in(std::string_view console_line) {
  std::size_t at = console_line.find("modvm: ");
  if (at == std::string_view::npos)
    return std::nullopt;
  std::string_view text = console_line.substr(at);
  while (!text.empty() && (text.back() == '\r' || text.back() == ' '))
    text.remove_suffix(1);
  return read(text);
}

}  // namespace modvm::protocol
