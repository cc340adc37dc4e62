// The output of dolm extract: every folder and file is opened relative to a
// folder descriptor, one component at a time, never following a symbolic
// link, and files are created anew (O_EXCL), so that a link planted in the
// target tree during the extraction cannot redirect a write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "format/format.h"
#include "format/link_target.h"
#include "tool/extract_sink.h"
#include "tool/names.h"
#include "tool/util.h"

namespace tool {

namespace {

// Splits a stored name into its components at either separator; empty
// components vanish, so that an absolute name stays below the target.
std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : EffectiveName(name)) {
    if (c == '\\' || c == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Bytes in an order with either separator below every other byte, so that
// sorted names inside one folder follow one another.
unsigned SortValue(char c) { return IsSeparator(c) ? 0 : static_cast<unsigned char>(c) + 1u; }

// Where a name and the one sorted before it stop being the same.
size_t SharedLength(std::string_view a, std::string_view b) {
  size_t same = 0;
  while (same < a.size() && same < b.size() && SortValue(a[same]) == SortValue(b[same])) ++same;
  return same;
}

Result Fail(ExtractTarget* target, ErrorNumber error, const std::string& why, int systemError = 0) {
  target->reason = why;
  return NoteFault(target->faults, error, target->shownPath.c_str(), -1, systemError);
}

void CloseFolder(ExtractTarget* target) {
  if (target->folderFd >= 0) close(target->folderFd);
  target->folderFd = -1;
}

// Opens (creating when missing) every folder of parts but the last, each
// relative to the one before it; returns the innermost descriptor or -1.
int OpenFolders(ExtractTarget* target, const std::vector<std::string>& parts) {
  int fd = dup(target->rootFd);
  for (size_t i = 0; fd >= 0 && i + 1 < parts.size(); ++i) {
    if (mkdirat(fd, parts[i].c_str(), 0777) != 0 && errno != EEXIST) {
      target->reason = "cannot create the folder '" + parts[i] + "': " + std::strerror(errno);
      close(fd);
      return -1;
    }
    int next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      target->reason = errno == ELOOP || errno == ENOTDIR
                           ? "'" + parts[i] + "' is a symbolic link or not a folder"
                           : "cannot open the folder '" + parts[i] + "': " + std::strerror(errno);
    }
    close(fd);
    fd = next;
  }
  return fd;
}

// A folder entry of its own: made, and given its stored mode when this
// extraction made it. Nothing is written.
Result MakeStoredFolder(ExtractTarget* target, const FileRecord& record) {
  const char* name = target->name.c_str();
  const bool made = mkdirat(target->folderFd, name, 0700) == 0;
  if (!made && errno != EEXIST) return Fail(target, kErrorCannotOpen, std::strerror(errno), errno);
  const int fd = openat(target->folderFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  CloseFolder(target);
  if (fd < 0) return Fail(target, kErrorCannotOpen, "is a symbolic link or not a folder");
  if (made) fchmod(fd, record.mode & 07777);
  close(fd);
  ++target->written;
  return kOk;
}

Result OpenFile(void* self, uint32_t index, const FileRecord& record, bool* write) {
  ExtractTarget* target = static_cast<ExtractTarget*>(self);
  *write = false;
  std::vector<std::string> parts = Components(index < target->names.size() ? target->names[index] : record.name);
  target->shownPath = target->root;
  for (const auto& part : parts) target->shownPath += "/" + part;
  if (parts.empty()) return Fail(target, kErrorCannotOpen, "the stored name is empty");
  target->folderFd = OpenFolders(target, parts);
  if (target->folderFd < 0) return Fail(target, kErrorCannotOpen, target->reason);
  target->name = parts.back();
  target->kind = KindOf(record);
  if (target->kind == EntryKind::kFolder) return MakeStoredFolder(target, record);
  if (target->kind == EntryKind::kLink) {
    // Made after every file, so that no file is ever written through it.
    CloseFolder(target);
    target->linkTarget.clear();
    target->links.emplace_back(parts, std::string());
    *write = true;
    return kOk;
  }
  struct stat st;
  if (fstatat(target->folderFd, target->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!target->overwrite) return Fail(target, kErrorCannotOpen, "exists already (use --overwrite to replace it)");
    if (S_ISDIR(st.st_mode)) return Fail(target, kErrorCannotOpen, "is a folder");
    // The old entry is replaced, never written through: a hard link to a
    // file elsewhere or a link keeps what it points at. Under temporary
    // names it stays until the new file is complete.
    if (!target->temporaryNames && unlinkat(target->folderFd, target->name.c_str(), 0) != 0)
      return Fail(target, kErrorCannotOpen, std::string("cannot replace it: ") + std::strerror(errno));
  }
  target->headLength = 0;
  target->writtenName = target->name;
  for (unsigned n = 0; n < kTemporaryNames; ++n) {
    if (target->temporaryNames) {
      char temporary[16];
      std::snprintf(temporary, sizeof temporary, kTemporaryNameForm, n);
      target->writtenName = temporary;
    }
    target->fileFd = openat(target->folderFd, target->writtenName.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (target->fileFd >= 0 || !target->temporaryNames || errno != EEXIST) break;
  }
  if (target->fileFd < 0) return Fail(target, kErrorCannotOpen, std::strerror(errno), errno);
  *write = true;
  return kOk;
}

Result WriteFile(void* self, const uint8_t* bytes, uint32_t count) {
  ExtractTarget* target = static_cast<ExtractTarget*>(self);
  if (target->kind == EntryKind::kLink) {
    target->linkTarget.append(reinterpret_cast<const char*>(bytes), count);
    return kOk;
  }
  for (uint32_t i = 0; i < count && target->headLength < sizeof target->head; ++i)
    target->head[target->headLength++] = bytes[i];
  while (count > 0) {
    ssize_t n = ::write(target->fileFd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(target, kErrorWriteFailed, std::strerror(n < 0 ? errno : ENOSPC), n < 0 ? errno : ENOSPC);
    bytes += n;
    count -= static_cast<uint32_t>(n);
  }
  return kOk;
}

Result FinishFile(void* self, uint32_t, const FileRecord& record, bool complete) {
  ExtractTarget* target = static_cast<ExtractTarget*>(self);
  if (target->kind == EntryKind::kLink) {
    target->kind = EntryKind::kFile;
    if (!complete) {
      target->links.pop_back();
      return kOk;
    }
    target->links.back().second = target->linkTarget;
    const auto* bytes = reinterpret_cast<const uint8_t*>(target->linkTarget.data());
    const uint32_t length = static_cast<uint32_t>(target->linkTarget.size());
    // A zero byte would cut the target short: refused even when allowed.
    if (target->linkTarget.find('\0') != std::string::npos ||
        (!target->allowUnsafeLinks && !LinkTargetStaysInside(bytes, length, StoredFolderDepth(EffectiveName(record.name).c_str()))))
      return Fail(target, kStopUnsafeLink, "the symbolic link leads out of the folder, to '" + target->linkTarget + "'");
    return kOk;
  }
  int fd = target->fileFd;
  target->fileFd = -1;
  if (complete) {
    // Stored times and the read-only attribute, set through the descriptor.
    struct timespec times[2] = {{static_cast<time_t>(record.time), 0}, {static_cast<time_t>(record.time), 0}};
    futimens(fd, times);
    mode_t mode = 0666 & ~target->umask;
    if (record.attributes & kAttrReadOnly) mode &= ~static_cast<mode_t>(0222);
    // A script or an ELF program may be run wherever it may be read, as the
    // umask allows: the archive stores Windows attributes only.
    const uint8_t* h = target->head;
    const bool program = (target->headLength >= 2 && h[0] == '#' && h[1] == '!') ||
                         (target->headLength == 4 && h[0] == 0x7F && h[1] == 'E' && h[2] == 'L' && h[3] == 'F');
    if (program) mode |= ((mode & 0444) >> 2) & ~target->umask;
    // A stored mode (an archive with Unix entries) is given as it was.
    if (record.mode != 0) mode = record.mode & 07777;
    fchmod(fd, mode);
  }
  const int closed = close(fd);
  int error = errno;
  // A complete file takes its name only now; an incomplete one under a
  // temporary name goes.
  bool placed = true;
  if (target->temporaryNames && closed == 0 && complete) {
    placed = renameat(target->folderFd, target->writtenName.c_str(), target->folderFd, target->name.c_str()) == 0;
    error = errno;
  }
  if (target->temporaryNames && (closed != 0 || !complete || !placed))
    unlinkat(target->folderFd, target->writtenName.c_str(), 0);
  CloseFolder(target);
  if (closed != 0) return Fail(target, kErrorWriteFailed, std::strerror(error), error);
  if (!placed) return Fail(target, kErrorCannotOpen, std::string("cannot replace it: ") + std::strerror(error), error);
  ++target->written;
  return kOk;
}

void RemoveFile(void* self) {
  ExtractTarget* target = static_cast<ExtractTarget*>(self);
  if (target->kind == EntryKind::kLink) {
    target->kind = EntryKind::kFile;
    target->links.pop_back();
    return;
  }
  if (target->fileFd >= 0) close(target->fileFd);
  target->fileFd = -1;
  if (target->folderFd >= 0) unlinkat(target->folderFd, target->writtenName.c_str(), 0);
  // Under a temporary name, what bore the file's own name is as it was.
  if (!target->temporaryNames) target->removed = target->shownPath;
  CloseFolder(target);
}

}  // namespace

OutputSink ExtractSink(ExtractTarget* target) {
  return OutputSink{target, OpenFile, WriteFile, FinishFile, RemoveFile};
}

Result MakeHeldLinks(ExtractTarget* target) {
  for (const auto& link : target->links) {
    const std::vector<std::string>& parts = link.first;
    target->shownPath = target->root;
    for (const auto& part : parts) target->shownPath += "/" + part;
    target->folderFd = OpenFolders(target, parts);
    if (target->folderFd < 0) return Fail(target, kErrorCannotOpen, target->reason);
    const char* name = parts.back().c_str();
    struct stat st;
    // CheckTargets refused what existed without --overwrite; a folder stays.
    bool clear = fstatat(target->folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0;
    if (!clear && S_ISDIR(st.st_mode)) {
      CloseFolder(target);
      return Fail(target, kErrorCannotOpen, "is a folder");
    }
    if (!clear && target->overwrite) clear = unlinkat(target->folderFd, name, 0) == 0;
    const bool made = clear && symlinkat(link.second.c_str(), target->folderFd, name) == 0;
    const int error = errno;
    CloseFolder(target);
    if (!made) return Fail(target, kErrorCannotOpen, std::string("cannot make the link: ") + std::strerror(error), error);
    ++target->written;
  }
  target->links.clear();
  return kOk;
}

uint64_t CountFolders(const std::vector<std::string>& names) {
  std::vector<std::string_view> parts;
  for (const std::string& name : names) parts.push_back(std::string_view(name).substr(name.size() - EffectiveName(name).size()));
  std::sort(parts.begin(), parts.end(), [](std::string_view a, std::string_view b) {
    const size_t same = SharedLength(a, b);
    return same < a.size() && same < b.size() ? SortValue(a[same]) < SortValue(b[same]) : a.size() < b.size();
  });
  // A folder ends where a component does and another follows; it is new
  // where its name differs from the name sorted before.
  uint64_t folders = 0;
  std::string_view previous;
  for (std::string_view name : parts) {
    const size_t same = SharedLength(name, previous);
    const size_t last = name.find_last_not_of("\\/");
    for (size_t at = std::max<size_t>(same, 1); at < name.size() && at < last; ++at)
      folders += IsSeparator(name[at]) && !IsSeparator(name[at - 1]);
    previous = name;
  }
  return folders;
}

}  // namespace tool
