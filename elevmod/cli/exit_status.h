// elevmod's exit statuses, in one place.  `run` passes its command's own
// on, and has three of its own for when it cannot.
#pragma once

namespace elevmod {

enum ExitStatus {
  kOk = 0,
  kFailed = 1,          // the verb failed: no service, a refusal, no answer
  kUsage = 2,           // the command line was wrong
  kRunFailed = 125,     // run: elevmod's own failure; the command never ran
  kCannotExecute = 126, // run: the command was found but cannot be executed
  kNotFound = 127,      // run: the command was not found
};

}  // namespace elevmod
