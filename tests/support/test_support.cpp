#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

std::string BuildDir() { return DOLM_BUILD_DIR; }

std::string StubPath(const char* name) { return BuildDir() + "/stubs/" + name; }

std::string MakeTempDir(const std::string& tag) {
  std::string base = BuildDir() + "/test-area";
  mkdir(base.c_str(), 0755);
  std::string pattern = base + "/" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  return std::string(buf.data());
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteText(const std::string& path, const std::string& text) {
  WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> TextLikeBytes(size_t n, uint32_t seed) {
  static const char* words[] = {"the ", "setup ", "file ", "window ", "archive ", "data ",
                                "and ", "of ", "program ", "folder\r\n", "install ", "a "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  v.reserve(n);
  while (v.size() < n) {
    const char* w = words[rng() % 12];
    for (const char* p = w; *p && v.size() < n; ++p) v.push_back(static_cast<uint8_t>(*p));
  }
  return v;
}

static std::string ReadAll(int fd) {
  std::string s;
  char buf[4096];
  ssize_t r;
  while ((r = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(r));
  return s;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                     const std::string& cwd) {
  // Output goes to temporary files so that large outputs cannot block the child.
  char outName[] = "/tmp/dolm-out-XXXXXX";
  char errName[] = "/tmp/dolm-err-XXXXXX";
  char inName[] = "/tmp/dolm-in-XXXXXX";
  int outFd = mkstemp(outName), errFd = mkstemp(errName), inFd = mkstemp(inName);
  if (write(inFd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    throw std::runtime_error("cannot write test input");
  lseek(inFd, 0, SEEK_SET);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  RunResult r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(outFd, 0, SEEK_SET);
  lseek(errFd, 0, SEEK_SET);
  r.out = ReadAll(outFd);
  r.err = ReadAll(errFd);
  close(outFd), close(errFd), close(inFd);
  unlink(outName), unlink(errName), unlink(inName);
  return r;
}

// The code under test ends the process with exit code 0 after an error
// message, as the stub does. Called by mistake outside a death test, that
// would end the test program early with a passing exit code; this guard turns
// such an early end of the main test process into a failure.
namespace {
pid_t gTestProcess = 0;
bool gTestsFinished = false;

class EarlyExitGuard : public ::testing::EmptyTestEventListener {
  void OnTestProgramStart(const ::testing::UnitTest&) override { gTestProcess = getpid(); }
  void OnTestProgramEnd(const ::testing::UnitTest&) override { gTestsFinished = true; }
};

void CheckEarlyExit() {
  if (gTestProcess == getpid() && !gTestsFinished) {
    std::fprintf(stderr, "test program ended before its tests finished (exit called by the code under test)\n");
    _exit(1);
  }
}

const bool gGuardInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new EarlyExitGuard);
  std::atexit(CheckEarlyExit);
  return true;
}();
}  // namespace

std::vector<uint8_t> HexBytes(const char* text) {
  std::vector<uint8_t> out;
  for (const char* p = text; *p;) {
    if (*p == ' ') { ++p; continue; }
    out.push_back(static_cast<uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    p += 2;
  }
  return out;
}

std::FILE* TempFileWith(const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::tmpfile();
  if (!f) throw std::runtime_error("tmpfile failed");
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}
