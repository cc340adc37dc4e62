// The dolm command-line tool: shared declarations of its commands and helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tool {

// Exit codes of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // bad input, I/O failure, damaged or refused archive
constexpr int kExitUsage = 2;    // the command line itself is wrong

// Most data one archive takes (2 GiB - 16 MiB). Everything is packed in
// memory, and `dolm test` counts the expanded bytes through the stub's signed
// 32-bit count, which stays exact while the data is this much below 2 GiB.
constexpr uint64_t kMaxArchiveData = 0x7F000000;

// A failure that ends the command: main prints "dolm: <what>" and exits 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A command-line mistake: main prints it with a hint to --help and exits 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- commands (pack.cpp, examine.cpp) ------------------------------------------
int PackCommand(const std::vector<std::string>& args);
int ListCommand(const std::vector<std::string>& args);
int TestCommand(const std::vector<std::string>& args);
int ExtractCommand(const std::vector<std::string>& args);

// ---- brand.cpp: pack's --icon, --version-info and --execution-level ---------------
// The stub image with the resources these options ask for, or an empty image
// when none is given. Usage errors for the Linux stub and for bad names or levels.
struct ParsedArgs;
std::vector<uint8_t> BrandedStub(const ParsedArgs& parsed, const std::string& stubChoice,
                                 const std::string& stubPath);

// ---- names.cpp: stored names a Windows or Linux extraction could misuse ---------
// Why one stored name is unsafe ("" when it is fine): absolute path, drive
// letter, ".." component, ':' or another character Windows refuses, reserved
// device name (also with an extension), empty component, trailing dot or blank.
std::string UnsafeNameReason(const std::string& name);
// For each name, why it is unsafe, including names that collide with an
// earlier one when case is ignored (also a file that is another's folder).
std::vector<std::string> CheckStoredNames(const std::vector<std::string>& names);
// The same for `count` names given one at a time; only the names with a
// problem have an entry, by index.
using NameProblems = std::map<uint32_t, std::string>;
NameProblems CheckStoredNames(size_t count, const std::function<std::string(size_t)>& nameAt);
// The part of a stored name that an extraction recreates: what follows the
// first temporary-folder marker, or the whole name.
std::string EffectiveName(const std::string& name);

// ---- util.cpp --------------------------------------------------------------------
// Command-line options of one command: flags and options with a value, long
// ("--level 6", "--level=6") or short ("-o OUT"); the rest are operands.
struct OptionDef {
  std::string name;   // "--level"
  std::string alias;  // "-l", or empty
  bool takesValue;
};
struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> options;  // in order, by long name
  std::vector<std::string> operands;
  bool Has(const std::string& name) const;
  // The last value given for the option, or `fallback`.
  std::string Value(const std::string& name, const std::string& fallback = "") const;
};
ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs);

std::string IsoTime(uint32_t seconds);            // "2000-01-01T00:00:00Z"
std::string JsonString(const std::string& text);  // quoted and escaped
std::string AttributeText(uint8_t attributes);    // "R--A" style
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

}  // namespace tool
