// The dolm command-line tool: shared declarations of its commands and helpers.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
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

// ---- commands (pack.cpp, examine.cpp) ------------------------------------------
int PackCommand(const std::vector<std::string>& args);
int ListCommand(const std::vector<std::string>& args);
int TestCommand(const std::vector<std::string>& args);
int ExtractCommand(const std::vector<std::string>& args);
int RestubCommand(const std::vector<std::string>& args);  // restub.cpp

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
// The same for `count` names given one at a time: one entry for each name
// with a problem, by index. The texts are made when they are shown
// (ProblemText), so that a list of a million bad names keeps 12 bytes each.
struct NameProblem {
  enum Kind : uint8_t { kUnsafe, kSameFile, kFolderIsFile, kHoldsFolderOf, kUnreadable };
  uint32_t index;
  uint32_t other;  // the earlier name it collides with
  Kind kind;
  bool onceRead;   // found only once the names were read in their code page
};
using NameProblems = std::vector<NameProblem>;
NameProblems CheckStoredNames(size_t count, const std::function<std::string(size_t)>& nameAt);
// Why, for a problem of CheckStoredNames (kUnreadable is the code page's: "").
std::string ProblemText(const NameProblem& problem, const std::function<std::string(size_t)>& nameAt);
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

// ---- inputs.cpp: which files pack stores -----------------------------------------
struct InputFile {
  std::string name;                      // stored name, backslash separators
  std::vector<std::string> components;   // the same, folder by folder
  std::string path;                      // where it is on disk
  uint64_t size, device, inode;
  int64_t mtimeNs;                       // modification time, ns since 1970
  uint32_t mode;
};
// The files named by the operands, -C (--directory), -T (--files-from),
// --exclude and --no-follow in `parsed`, sorted by stored name.
std::vector<InputFile> SelectInputs(const ParsedArgs& parsed);
int64_t ModificationNs(const struct stat& st);  // st_mtim in one number

// ---- stored_options.cpp: the option flags of pack and restub ---------------------
// The texts are the stored bytes, in the code page the names are stored in.
struct StoredSettings {
  uint32_t word = 0;
  std::string temp, exec, args;
  uint32_t unused = 0;
  int codePage = 1252;
};
extern const std::vector<OptionDef> kStoredOptionDefs;
StoredSettings DefaultStoredSettings();
StoredSettings SettingsFromOptions(const packer::StoredOptions& stored);
// Applies the option flags of `parsed`; throws UsageError for texts the
// self-extractor cannot store or start.
void ApplyStoredFlags(const ParsedArgs& parsed, StoredSettings& settings);
packer::StoredOptions MakeStoredOptions(const StoredSettings& settings);

// ---- pack_checks.cpp ---------------------------------------------------------------
// Throws Failure naming the closest stored names when exec is not stored.
void CheckExecuteStored(const std::string& exec, const std::vector<std::string>& names, bool flat);
// Throws Failure naming two files that a flat extraction puts on one name.
void CheckFlatNames(const std::vector<std::string>& names);

// ---- output_file.cpp ---------------------------------------------------------------
std::string FindStub(const std::string& choice);  // kind or path; UsageError for a wrong kind
packer::Bytes ReadStubImage(const std::string& path);
// Refuses "-", an output that is not a regular file and a planted OUT.part.
void CheckOutputPath(const std::string& out);
// OUT.part, created fresh (never through a link) and removed again unless
// committed, also when SIGINT, SIGTERM or SIGHUP ends the process.
class OutputFile {
 public:
  explicit OutputFile(const std::string& out);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Writes image + archive and renames OUT.part to OUT; returns the bytes written.
  uint64_t Commit(const packer::Bytes& image, const packer::Bytes& archive);
  // Or piece by piece: Append each piece in order, Rewrite the start of what
  // was written, then Commit.
  void Append(const packer::Bytes& bytes);
  void Rewrite(const packer::Bytes& bytes);
  uint64_t Commit();

 private:
  std::string out_, part_;
  int fd_ = -1;
  uint64_t written_ = 0;
  bool committed_ = false;
};

// ---- pack_stream.cpp: pack's file list and data, read as they are written ----------
// The file list of `inputs`, from what was seen when they were selected: the
// times capped at `epoch` when `epochText` is set.
std::vector<packer::FileEntry> FileList(const std::vector<InputFile>& inputs,
                                        const char* epochText, uint64_t epoch);
// Writes `image` and the archive to `output`, reading the inputs one at a
// time while the data blocks are written; a branded image gets the PE
// checksum of the whole file. Throws Failure naming an input that changed
// since it was selected. Returns the archive's length.
uint64_t WriteSelfExtractor(OutputFile& output, packer::Bytes image, bool branded,
                            const std::vector<InputFile>& inputs,
                            const std::vector<packer::FileEntry>& entries,
                            const packer::StoredOptions& stored, int profile, int level,
                            std::atomic<uint64_t>* done);

// ---- archive_walk.cpp: the parts of a self-extractor, found without decoding ----
struct ArchiveLayout {
  uint64_t archiveStart = 0;       // the archive's overlay signature
  packer::StoredOptions options;   // its option block
  uint64_t headerStart = 0;        // the 36-byte archive header
  uint64_t end = 0;                // just past the last data block
};
// Throws Failure naming `what` and the offset when the structure is broken.
ArchiveLayout WalkArchive(const packer::Bytes& bytes, const std::string& what);

// ---- progress.cpp ----------------------------------------------------------------
std::string SizeText(uint64_t bytes);                          // "1.5 MiB"
std::string CountText(uint64_t count, const std::string& thing);  // "1 file", "2 files"
class PackProgress {
 public:
  explicit PackProgress(uint64_t total);
  void StartPhase(const char* verb);
  std::string Text();          // "dolm: compressing  45% of 19.0 MiB, 3.1 MiB/s, 0:04 left"
  std::atomic<uint64_t> done{0};

 private:
  std::mutex lock_;
  const char* verb_ = "reading";
  uint64_t total_;
  std::chrono::steady_clock::time_point start_;
};
std::string PackSummary(const std::string& out, uint64_t files, uint64_t input, uint64_t archive,
                        uint64_t output, int profile);

}  // namespace tool
