// Parsing a verb's command line: getopt_long with our own words for its
// complaints, strict numbers, and the socket every verb takes.
#pragma once

#include <getopt.h>

#include <functional>
#include <string>

#include "cli/run.h"

namespace elevmod {

// Whole decimal numbers only: no blanks, no '+', nothing after the digits.
bool parse_integer(const char* text, long long low, long long high,
                   long long* out);

// Takes a verb's options with getopt_long, stopping at the first operand.
// `take` handles each option other than --help and --socket and returns an
// empty string or a complaint.  Returns the index of the first operand, or
// -1 once a usage error is printed; *help is set by -h and --help.
int parse_options(const char* verb, int argc, char** argv,
                  const option* verb_options,
                  const std::function<std::string(int, const char*)>& take,
                  std::string* socket, bool* help);

// What follows parse_options() for a verb without operands: its help, a
// complaint about an operand, or its socket path.  Returns -1 to go on, or
// the exit status to end with.
int settle(const char* verb, int first, int argc, char** argv, bool help,
           const std::string& socket, bool create, std::string* path);

// What unload, status and trace take: --json, status also --watch.
struct Flags {
  bool json = false;
  bool watch = false;
  std::string path;  // the socket
};

// Parses the options of unload, status or trace and finds the socket.
// Returns -1 to go on, or the exit status to end with (after --help, or a
// complaint).
int parse_flags(const char* verb, int argc, char** argv, bool watch_too,
                Flags* flags);

// Takes one --reply NR=VALUE; false when it is not that.
bool parse_reply(const std::string& text, RunOptions* options);

}  // namespace elevmod
