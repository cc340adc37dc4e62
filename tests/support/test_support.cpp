#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "engine/engine.h"

ModelDecoder* TestDecoder() {
  static ModelDecoder* decoder = NewModelDecoder();
  return decoder;
}

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

std::vector<uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

::testing::AssertionResult NoOutputAt(const std::string& path) {
  for (const std::string& found : {path, path + ".part"})
    if (PathExists(found)) return ::testing::AssertionFailure() << found << " exists";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Exited(const RunResult& r, int code, const std::string& part) {
  if (r.exitCode == code && Contains(r.err, part)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit code " << r.exitCode << " (wanted " << code << ")"
                                       << (Contains(r.err, part) ? "" : ", standard error lacks \"" + part + "\"")
                                       << "\nstandard output: " << r.out << "\nstandard error: " << r.err;
}

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
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  return s;
}

bool UnderAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  // Close-on-exec: a program started by another thread meanwhile keeps none of these open.
  char outName[] = "/tmp/dolm-out-XXXXXX";
  char errName[] = "/tmp/dolm-err-XXXXXX";
  char inName[] = "/tmp/dolm-in-XXXXXX";
  const int outFd = mkostemp(outName, O_CLOEXEC), errFd = mkostemp(errName, O_CLOEXEC),
            inFd = mkostemp(inName, O_CLOEXEC);
  unlink(outName), unlink(errName), unlink(inName);
  if (outFd < 0 || errFd < 0 || inFd < 0) throw std::runtime_error("cannot create the output files");
  if (write(inFd, options.input.data(), options.input.size()) != static_cast<ssize_t>(options.input.size()))
    throw std::runtime_error("cannot write test input");
  lseek(inFd, 0, SEEK_SET);
  // Everything the child needs is made before the fork: other threads may
  // hold the allocator's lock at that moment.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const bool limitMemory = options.addressLimitMb > 0 && !UnderAddressSanitizer();
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.addressLimitMb) << 20;
  std::string env = options.env;

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(inFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    const uid_t user = options.user;
    if (user != 0 && getuid() == 0 && (setgid(user) != 0 || setuid(user) != 0)) _exit(125);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (limitMemory) setrlimit(RLIMIT_AS, &limit);
    if (!env.empty()) putenv(env.data());
    struct rlimit fileLimit = {static_cast<rlim_t>(options.fileLimitBytes), static_cast<rlim_t>(options.fileLimitBytes)};
    if (options.fileLimitBytes > 0 && (signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &fileLimit) != 0)) _exit(124);
    // A child that another thread forked may hold the program's file open
    // for writing until its own exec closes it: try again a while then.
    for (int attempt = 0; attempt < 200; ++attempt) {
      execv(args[0], args.data());
      if (errno != ETXTBSY) break;
      usleep(5000);
    }
    _exit(127);
  }
  RunResult r;
  int status = 0;
  struct rusage usage = {};
  timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (pid_t done; (done = wait4(pid, &status, options.timeoutSeconds > 0 ? WNOHANG : 0, &usage)) != pid;) {
    if (done < 0 && errno != EINTR) break;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsedMs = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (options.timeoutSeconds > 0 && elapsedMs >= options.timeoutSeconds * 1000L) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      break;
    }
    usleep(1000);
  }
  r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + r.signal;
  r.maxRssKb = usage.ru_maxrss;
  r.out = ReadAll(outFd);
  r.err = ReadAll(errFd);
  close(outFd), close(errFd), close(inFd);
  return r;
}

bool WriteProgram(const std::string& path, const std::vector<uint8_t>& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  if (fd < 0) return false;
  size_t done = 0;
  for (ssize_t n; done < bytes.size() && (n = write(fd, bytes.data() + done, bytes.size() - done)) > 0;)
    done += static_cast<size_t>(n);
  close(fd);
  return done == bytes.size();
}

std::vector<uint8_t> LinuxStubWith(const std::vector<packer::PackFile>& files,
                                   const packer::Bytes& optionBlock, int profile) {
  std::vector<uint8_t> image = ReadFileBytes(StubPath("dolmsfx-linux"));
  const packer::Bytes archive = packer::BuildArchive(files, optionBlock, profile, 5);
  image.insert(image.end(), archive.begin(), archive.end());
  return image;
}

std::map<std::string, std::vector<uint8_t>> ExpectedFiles(const std::vector<packer::PackFile>& files,
                                                          const std::string& folder) {
  std::map<std::string, std::vector<uint8_t>> want;
  for (const packer::PackFile& f : files) {
    std::string name = folder + "/" + f.name;
    for (char& c : name)
      if (c == '\\') c = '/';
    want[name] = f.data;
  }
  return want;
}

int StubErrorNumber(const std::string& err) {
  const std::string head = " DOLM Self Extractor Error \nError #";
  const size_t at = err.find(head);
  return at == std::string::npos ? -1 : std::atoi(err.c_str() + at + head.size());
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& e : std::filesystem::directory_iterator(folder, error)) names.push_back(e.path().filename());
  return names;
}

std::map<std::string, std::vector<uint8_t>> FilesBelow(const std::string& folder) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
    if (!e.is_directory()) files[e.path().lexically_relative(folder)] = ReadFileBytes(e.path());
  return files;
}

void RemoveTree(const std::string& path) {
  // Read-only folders are made writable first, or their entries cannot go.
  std::error_code error;
  if (std::filesystem::is_directory(std::filesystem::symlink_status(path, error))) chmod(path.c_str(), 0755);
  using Walk = std::filesystem::recursive_directory_iterator;
  for (Walk it(path, error); !error && it != Walk(); it.increment(error))
    if (!it->is_symlink() && it->is_directory()) chmod(it->path().c_str(), 0755);
  std::filesystem::remove_all(path, error);
}

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
