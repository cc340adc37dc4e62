// Helpers shared by the test programs: temporary folders, files, running
// programs under limits, the Linux stub with an archive.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "format/format.h"
#include "packer/packer.h"

struct ModelDecoder;
// One model decoder state for a test program's single-threaded decoding.
ModelDecoder* TestDecoder();

std::string BuildDir();                 // the CMake build folder
std::string StubPath(const char* name); // build/stubs/<name>
// A fresh empty folder below the build folder's test area.
std::string MakeTempDir(const std::string& tag);
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Text forms of the two above, whether a path exists (lstat), and whether
// `text` contains `part`.
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
bool PathExists(const std::string& path);
bool Contains(const std::string& text, const std::string& part);
// The bytes of a text, and two byte strings one after the other.
std::vector<uint8_t> Text(const std::string& text);
std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b);
// Deterministic generated data of a few kinds.
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);
std::vector<uint8_t> TextLikeBytes(size_t n, uint32_t seed);
struct RunOptions {
  std::string input;        // fed on standard input
  std::string cwd;          // the working folder, when not empty
  int timeoutSeconds = 0;   // killed after this long; 0: no limit
  long addressLimitMb = 0;  // address-space limit; 0: none (never under AddressSanitizer)
  long fileLimitBytes = 0;  // largest file it may write (a longer write fails, EFBIG); 0: none
  uid_t user = 0;           // not 0: a test running as root runs the program as this user
  std::string env;          // "NAME=value" added to the environment, when not empty
};
struct RunResult {
  int exitCode;     // 128 + the signal's number when a signal ended the program
  std::string out;  // standard output
  std::string err;  // standard error
  int signal = 0;   // the signal that ended it, 0 when it exited
  bool timedOut = false;
  long maxRssKb = 0;  // peak resident memory
};
// Runs a program with arguments (no shell). Standard output and error go to
// files, so that large outputs cannot block it. Safe to call from several
// threads at once.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options);
inline RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                            const std::string& cwd = "") {
  RunOptions options;
  options.input = input;
  options.cwd = cwd;
  return RunProgram(argv, options);
}
// Passes when `r` exited with `code` and its standard error holds `part`; a
// failure shows the exit code and both outputs.
::testing::AssertionResult Exited(const RunResult& r, int code, const std::string& part = "");
// Passes when neither `path` nor `path`.part exists; a failure names the one found.
::testing::AssertionResult NoOutputAt(const std::string& path);
// An option word with the fields at `shifts` (kOverWriteExistingFiles, ...)
// set to 1 and the others 0.
constexpr uint32_t OptionWord(std::initializer_list<unsigned> shifts) {
  uint32_t word = 0;
  for (unsigned shift : shifts) word |= 1u << shift;
  return word;
}
// The word most tests store: overwrite, keep attributes, recreate folders.
constexpr uint32_t kOverwriteKeepRecreate =
    OptionWord({kOverWriteExistingFiles, kKeepOriginalFileAttrib, kRecreateOriginalFolders});
bool UnderAddressSanitizer();
// Writes an executable file through a descriptor that no program started by
// another thread inherits, so that it can be started at once.
bool WriteProgram(const std::string& path, const std::vector<uint8_t>& bytes);
// The Linux stub with an archive of `files` appended.
std::vector<uint8_t> LinuxStubWith(const std::vector<packer::PackFile>& files,
                                   const packer::Bytes& optionBlock, int profile);
// Where the stub puts `files` below `folder`: path ('/') -> bytes.
std::map<std::string, std::vector<uint8_t>> ExpectedFiles(const std::vector<packer::PackFile>& files,
                                                          const std::string& folder);
// The error number in a stub's error box on standard error, -1 when none.
int StubErrorNumber(const std::string& err);
// The names in a folder, and every file below it by relative path ('/').
std::vector<std::string> FolderEntries(const std::string& folder);
std::map<std::string, std::vector<uint8_t>> FilesBelow(const std::string& folder);
// Removes a file or a whole tree, making read-only folders writable first.
void RemoveTree(const std::string& path);
// Bytes from hexadecimal text; spaces are skipped ("86 46 C6").
std::vector<uint8_t> HexBytes(const char* text);
// An anonymous temporary file holding `bytes`, positioned at its first byte.
std::FILE* TempFileWith(const std::vector<uint8_t>& bytes);
