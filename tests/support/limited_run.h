// Runs a program under limits for the robustness tests: a time limit, an
// address-space limit (left off in sanitizer builds, whose shadow memory
// needs far more), standard output and error captured, and how it ended
// (exit code or signal, peak resident memory). Header-only so that only the
// test programs that need it take it.
#pragma once
#include <dirent.h>
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
#include <map>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define DOLM_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOLM_TEST_UNDER_ASAN 1
#endif
#endif
#ifndef DOLM_TEST_UNDER_ASAN
#define DOLM_TEST_UNDER_ASAN 0
#endif

struct LimitedResult {
  bool timedOut = false;
  int signal = 0;      // the signal that ended the program, 0 when it exited
  int exitCode = -1;
  long maxRssKb = 0;
  std::string out;
  std::string err;
};

inline std::string ReadWholeFd(int fd) {
  std::string text;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  return text;
}

// Runs argv in cwd with standard input empty. addressLimitMb 0: no limit.
// runAsUser not 0: a test running as root runs the program as that user, so
// that file permissions apply to it.
inline LimitedResult RunLimited(const std::vector<std::string>& argv, const std::string& cwd,
                                int timeoutSeconds, long addressLimitMb, uid_t runAsUser = 0) {
  LimitedResult result;
  char outName[] = "/tmp/dolm-run-out-XXXXXX";
  char errName[] = "/tmp/dolm-run-err-XXXXXX";
  const int outFd = mkstemp(outName);
  const int errFd = mkstemp(errName);
  unlink(outName);
  unlink(errName);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    if (runAsUser != 0 && getuid() == 0 && (setgid(runAsUser) != 0 || setuid(runAsUser) != 0)) _exit(125);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (addressLimitMb > 0 && !DOLM_TEST_UNDER_ASAN) {
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(addressLimitMb) << 20;
      setrlimit(RLIMIT_AS, &limit);
    }
    // Another thread's child may still hold the program's file open for
    // writing for a moment (fork copies descriptors): try again then.
    for (int attempt = 0; attempt < 200; ++attempt) {
      execv(args[0], args.data());
      if (errno != ETXTBSY) break;
      usleep(5000);
    }
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= timeoutSeconds) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      break;
    }
    usleep(1000);
  }
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.maxRssKb = usage.ru_maxrss;
  result.out = ReadWholeFd(outFd);
  result.err = ReadWholeFd(errFd);
  close(outFd);
  close(errFd);
  return result;
}

// Writes a program file with a descriptor that no concurrently forked child
// inherits, so that it can be started at once.
inline bool WriteProgram(const std::string& path, const std::vector<uint8_t>& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == bytes.size();
}

// The error number of a stub's error box on standard error
// ("<caption>\n" "Error #N\n..."), or -1 when there is none.
inline int StubErrorNumber(const std::string& err) {
  const std::string caption = " DOLM Self Extractor Error \n";
  const size_t at = err.find(caption + "Error #");
  if (at == std::string::npos) return -1;
  return std::atoi(err.c_str() + at + caption.size() + 7);
}

// The names in a folder ("." and ".." left out).
inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(dir);
  }
  return names;
}

// Every file below folder with its bytes, by path relative to it ('/').
inline void ListFilesBelow(const std::string& folder, const std::string& prefix,
                           std::map<std::string, std::vector<uint8_t>>& out) {
  for (const std::string& name : FolderEntries(folder)) {
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ListFilesBelow(path, prefix + name + "/", out);
      continue;
    }
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
      char buf[65536];
      for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
      std::fclose(f);
    }
    out[prefix + name] = bytes;
  }
}

inline void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0755);
    for (const std::string& name : FolderEntries(path)) RemoveTree(path + "/" + name);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}
