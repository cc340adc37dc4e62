// Helpers shared by the test programs: temporary folders, files, running the
// Linux stub.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::string BuildDir();                 // the CMake build folder
std::string StubPath(const char* name); // build/stubs/<name>
// A fresh empty folder below the build folder's test area.
std::string MakeTempDir(const std::string& tag);
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
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
