// What elevmod says about its command line: each verb's synopsis and
// help, and the one-line complaints about a wrong command line or a failure.
#pragma once

#include <string>

namespace elevmod {

struct VerbHelp {
  const char* name;
  const char* synopsis;
  const char* text;  // the options, one paragraph each
  bool socket = true;  // takes --socket, as every verb but draw
};

// The help of verb `name`, or null for a verb that is not known.
const VerbHelp* find_verb(const std::string& name);

// "usage:" with every verb's synopsis, then `summary` (a line per verb).
void print_general_help(const std::string& summary);

// A verb's synopsis and help, with the options every verb takes.  Returns
// the exit status for it (0).
int verb_help(const VerbHelp& verb);

// "elevmod: VERB: WHAT (see 'elevmod VERB --help')" on standard error, or
// without a verb "elevmod: WHAT (see 'elevmod --help')".  Returns kUsage.
int usage_error(const char* verb, const std::string& what);

// "elevmod: VERB: WHAT" on standard error.  Returns kFailed.
int failure(const char* verb, const std::string& what);

}  // namespace elevmod
