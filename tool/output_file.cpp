// Writing a self-extractor: the stub image is found and checked, the output
// path is checked before any input is read, and the file is written to
// OUT.part (created fresh, never through a link) and renamed into place.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "format/signature.h"
#include "tool/output_file.h"
#include "tool/util.h"

namespace tool {

namespace {

// The .part file being written, for the signal handler; empty when none.
char gPartPath[4096];
struct sigaction gFormer[3];
const int kCleanupSignals[3] = {SIGINT, SIGTERM, SIGHUP};

void RemovePartAndDie(int signal) {
  if (gPartPath[0] != '\0') unlink(gPartPath);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void GuardPart(const std::string& part) {
  if (part.size() >= sizeof gPartPath) throw Failure("the output path is too long");
  std::memcpy(gPartPath, part.c_str(), part.size() + 1);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = RemovePartAndDie;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(kCleanupSignals[i], &action, &gFormer[i]);
}

void UnguardPart() {
  for (int i = 0; i < 3; ++i) sigaction(kCleanupSignals[i], &gFormer[i], nullptr);
  gPartPath[0] = '\0';
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t put = write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

std::string FindStub(const std::string& choice) {
  static const char* const kKinds[][2] = {
      {"win32", "dolmsfx-win32.exe"}, {"win64", "dolmsfx-win64.exe"}, {"linux", "dolmsfx-linux"}};
  std::string file;
  for (const auto& kind : kKinds)
    if (choice == kind[0]) file = kind[1];
  struct stat st;
  if (file.empty()) {
    // Anything else names a stub file; a bare word that names none is a wrong kind.
    if (stat(choice.c_str(), &st) != 0) {
      if (choice.find('/') == std::string::npos && errno == ENOENT)
        throw UsageError("--stub '" + choice + "' is neither a stub kind (win32, win64, linux) "
                         "nor a file");
      throw Failure("cannot read the stub '" + choice + "': " + Errno());
    }
    if (!S_ISREG(st.st_mode)) throw Failure("the stub '" + choice + "' is not a regular file");
    return choice;
  }
  // Installed layout first (lib/dolm: the stubs are programs, if not run from
  // there), then the build tree (stubs/ beside the tool).
  std::string home = ExecutableFolder();
  std::vector<std::string> places = {home + "/../lib/dolm/" + file, home + "/stubs/" + file};
  for (const auto& place : places)
    if (stat(place.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return place;
  throw Failure("no " + choice + " stub found (looked for " + places[0] + " and " + places[1] +
                "); give its path with --stub PATH");
}

// The stub finds its archive only as the second copy of the overlay signature
// inside its search window, so the image must hold exactly one and be short
// enough.
packer::Bytes ReadStubImage(const std::string& path) {
  packer::Bytes image = ReadWholeFile(path, "the stub", kMaxArchiveStart);
  const size_t size = image.size();
  if (size > kMaxArchiveStart)
    throw Failure("the stub '" + path + "' is longer than " + std::to_string(kMaxArchiveStart) +
                  " bytes; its archive would lie beyond the stub's search window");
  const size_t copies = CountOverlaySignatures(image.data(), image.size());
  if (copies != 1)
    throw Failure("the stub '" + path + "' holds " + std::to_string(copies) +
                  " copies of the overlay signature instead of exactly one");
  return image;
}

void CheckOutputPath(const std::string& out) {
  if (out == "-") throw UsageError("-o - is refused: a self-extractor must be a file");
  struct stat st;
  if (lstat(out.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Failure("the output '" + out + "' exists and is not a regular file" +
                  (S_ISLNK(st.st_mode) ? " (a symbolic link)" : S_ISDIR(st.st_mode) ? " (a folder)" : ""));
  std::string part = out + ".part";
  if (lstat(part.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Failure("'" + part + "' exists and is not a regular file; remove it first");
  size_t slash = out.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
  if (access(folder.c_str(), W_OK) != 0)
    throw Failure("cannot write '" + out + "': its folder '" + folder + "': " + Errno());
}

void RefuseOutputAmongInputs(const std::string& out, const std::vector<InputIdentity>& inputs) {
  for (const std::string& path : {out, out + ".part"}) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    for (const auto& input : inputs)
      if (input.device == static_cast<uint64_t>(st.st_dev) && input.inode == static_cast<uint64_t>(st.st_ino))
        throw Failure("the output '" + path + "' is the input '" + input.path +
                      "'; writing it would destroy that input");
  }
}

OutputFile::OutputFile(const std::string& out) : out_(out), part_(out + ".part") {
  struct stat st;
  // A stale .part of an earlier run is removed only when it is a regular file.
  if (lstat(part_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(part_.c_str());
  GuardPart(part_);
  // 0777 with the umask applied: executable by whoever may read it.
  fd_ = open(part_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0777);
  if (fd_ < 0) {
    std::string why = Errno();
    UnguardPart();
    throw Failure("cannot create '" + part_ + "': " + why);
  }
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) close(fd_);
  if (!committed_) unlink(part_.c_str());
  UnguardPart();
}

void OutputFile::Append(const packer::Bytes& bytes) {
  if (!WriteAll(fd_, bytes.data(), bytes.size())) throw Failure("cannot write '" + part_ + "': " + Errno());
  written_ += bytes.size();
}

void OutputFile::Rewrite(const packer::Bytes& bytes) {
  if (bytes.size() > written_ || lseek(fd_, 0, SEEK_SET) != 0 || !WriteAll(fd_, bytes.data(), bytes.size()) ||
      lseek(fd_, 0, SEEK_END) < 0)
    throw Failure("cannot write '" + part_ + "': " + Errno());
}

uint64_t OutputFile::Commit() {
  int closed = close(fd_);
  fd_ = -1;
  if (closed != 0 || rename(part_.c_str(), out_.c_str()) != 0)
    throw Failure("cannot write '" + out_ + "': " + Errno());
  committed_ = true;
  return written_;
}

uint64_t OutputFile::Commit(const packer::Bytes& image, const packer::Bytes& archive) {
  Append(image);
  Append(archive);
  return Commit();
}

}  // namespace tool
