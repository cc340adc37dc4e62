// Helpers shared by the test programs: temporary folders, files, running the
// Linux stub.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
// Deterministic generated data of a few kinds.
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);
std::vector<uint8_t> TextLikeBytes(size_t n, uint32_t seed);
struct RunResult {
  int exitCode;
  std::string out;  // standard output
  std::string err;  // standard error
};
// Runs a program with arguments (no shell), feeding `input` on standard input,
// in folder `cwd` when not empty.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                     const std::string& cwd = "");
// Bytes from hexadecimal text; spaces are skipped ("86 46 C6").
std::vector<uint8_t> HexBytes(const char* text);
// An anonymous temporary file holding `bytes`, positioned at its first byte.
std::FILE* TempFileWith(const std::vector<uint8_t>& bytes);
