// The dolm tool's shared helpers: exit codes and failures, option parsing,
// text forms for listings, the progress line and reading a whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "packer/packer.h"

namespace tool {

// Exit codes of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // bad input, I/O failure, damaged or refused archive
constexpr int kExitUsage = 2;    // the command line itself is wrong

// Most data one archive takes (2 GiB - 16 MiB). The match coder counts
// stream positions in 31 bits, and `dolm test` counts the expanded bytes
// through the stub's signed 32-bit count, which stays exact while the data
// is this much below 2 GiB.
constexpr uint64_t kMaxArchiveData = 0x7F000000;

// A failure that ends the command: main prints "dolm: <what>" and exits 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A command-line mistake: main prints it with a hint to --help and exits 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Command-line options of one command: flags and options with a value, long
// ("--level 6", "--level=6") or short ("-o OUT"); the rest are operands.
struct OptionDef {
  std::string name;   // "--level"
  std::string alias;  // "-l", or empty
  bool takesValue;
  // What the shell completion offers for the value: the words it takes, with
  // FILE for file names and DIR for folder names ("win32 win64 linux FILE");
  // empty for free text.
  std::string values = "";
};
struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> options;  // in order, by long name
  std::vector<std::string> operands;
  // Options and operands in command-line order; an operand has the name "".
  std::vector<std::pair<std::string, std::string>> sequence;
  bool Has(const std::string& name) const;
  // The last value given for the option, or `fallback`.
  std::string Value(const std::string& name, const std::string& fallback = "") const;
};
ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs);

std::string IsoTime(uint32_t seconds);            // "2000-01-01T00:00:00Z"
std::string JsonString(const std::string& text);  // quoted and escaped
std::string AttributeText(uint8_t attributes);    // "R--A" style
std::string ModeText(uint16_t mode);              // "-rw-r--r--", "lrwxrwxrwx", "drwsr-x--T"
const char* ModeKind(uint16_t mode);              // "file", "folder" or "link"
std::string OneLine(const std::string& message);  // "Error #2\nX" -> "Error #2: X"
// Folder of the running executable (from /proc/self/exe).
std::string ExecutableFolder();
bool StderrIsTerminal();
// Prints `text()` on stderr about four times a second while alive, only when
// stderr is a terminal; the line is cleared when the indicator ends.
class ProgressLine {
 public:
  explicit ProgressLine(std::function<std::string()> text);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  struct Impl;
  Impl* impl_;
};

// The system's text for errno.
std::string Errno();
// The whole file, or its first limit + 1 bytes when it is longer (the caller
// names what is too long); throws Failure "cannot read <what> '<path>': <why>".
packer::Bytes ReadWholeFile(const std::string& path, const std::string& what, size_t limit);

}  // namespace tool
