// The module's code as the host knows it: its functions from the .ko, to
// name addresses of a module since unloaded, and its source lines, by the
// kernel tree's scripts/faddr2line.
#ifndef MODVM_REPORT_SYMBOLS_H_
#define MODVM_REPORT_SYMBOLS_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_log.h"

namespace modvm {

// Where the guest loaded the module once: its core's base and size and
// each text section's address ("# modvm: loaded NAME BASE SIZE .text=A").
struct Load {
  std::uint64_t base = 0, size = 0;
  std::map<std::string, std::uint64_t> sections;
};

// Parses the rest of a "# modvm: loaded " line (from NAME on); false when
// it is not one.
bool parse_load(std::string_view text, std::string* name, Load* load);

struct Symbol {
  std::string section, name;
  std::uint64_t offset = 0, size = 0;
};

// TEXT quoted for the shell.
std::string quote(const std::string& text);
// What the shell command printed on its standard output.
std::string output_of(const std::string& command);

// The functions of an object file, as objdump lists them; empty when it
// cannot be read.
std::vector<Symbol> read_symbols(const std::string& object);

// "fn+0x4a/0x90" for an address inside one of `loads` (the latest first),
// or an empty string.
std::string name_address(std::uint64_t address, const std::vector<Load>& loads,
                         const std::vector<Symbol>& symbols);

// The lines with each bare address inside one of `loads` (the frames and
// faulting addresses of a module since unloaded, which the kernel can no
// longer name) named: "fn+0x4a/0x90 [module, unloaded]".
Lines name_unloaded(const Lines& lines, std::string_view module,
                    const std::vector<Load>& loads, const std::vector<Symbol>& symbols);

// Source lines by faddr2line: "ok_wq.c:59; inlined in el_request at
// ok_wq.c:209" for each frame "fn+0x../0x.." asked for at once.
std::map<std::string, std::string> source_lines(const std::string& tree,
                                                const std::string& object,
                                                const std::vector<std::string>& frames);

// "fn+0xoff/0xsize" of each of the module's frames in the lines.
std::vector<std::string> module_frames(const Lines& lines, std::string_view module);

// Those of the module's frames that are return addresses: the entries of
// a backtrace, a line each ("? " or "[<address>] " before, or nothing).
// The address after a call belongs to the statement after it.
std::vector<std::string> return_frames(const Lines& lines, std::string_view module);

// The frame one byte back, inside the call it returns from:
// "fn+0x3f/0x80" gives "fn+0x3e/0x80"; a frame at +0x0 is left as it is.
std::string before_return(const std::string& frame);

}  // namespace modvm

#endif  // MODVM_REPORT_SYMBOLS_H_
