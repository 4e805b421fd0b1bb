// The command name of a calling process, for the trace.
#pragma once

#include <cstdint>

namespace elevmod {

// Fills `comm` with the command name of process `pid` ("?" when it cannot
// be read), as /proc/PID/comm gives it.  Each listener thread serves one
// process tree, whose calls mostly come from one process, so the last name
// read is kept per thread.
void name_caller(uint32_t pid, char (&comm)[16]);

}  // namespace elevmod
