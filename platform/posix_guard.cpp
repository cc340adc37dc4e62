// The Linux stub's files on a system that other users share: every folder
// and file the run makes is made relative to the descriptor of the folder
// above it, a symbolic link followed only where no other user could have
// placed it, and a file always created anew (O_EXCL); the identity of each
// file the run made is kept, so that only the very file this run wrote is
// started; and SIGTERM, SIGINT and SIGHUP during the extraction remove the
// file being written and the run's private folder before the process ends.
//
// The state lives in this file's statics: a signal handler reaches nothing
// else, and a process runs one extraction.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform_posix.h"

namespace {

struct Identity {
  dev_t device;
  ino_t inode;
};

// Invariants: ids holds count identities of files this run created, in the
// order they were made; fileFolderFd is -1 exactly when no file is being
// written, fileFd the file's own descriptor then; runFolderParentFd is -1 exactly when no private folder is guarded.
struct Guard {
  Identity* ids;
  size_t count;
  size_t capacity;
  int fileFolderFd;
  int fileFd;
  char fileName[NAME_MAX + 1];
  int runFolderParentFd;
  char runFolderName[NAME_MAX + 1];
};
Guard gGuard = {nullptr, 0, 0, -1, -1, "", -1, ""};

// The stop signals are held while the guard changes, so that the handler
// never sees half a record.
void HoldStopSignals(sigset_t* old) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  sigprocmask(SIG_BLOCK, &stops, old);
}
void ReleaseStopSignals(const sigset_t* old) { sigprocmask(SIG_SETMASK, old, nullptr); }

struct LinuxDirent64 {
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

// Removes name in parentFd with everything below it, using only calls that
// a signal handler may make. depth bounds the recursion.
void RemoveTreeAt(int parentFd, const char* name, int depth) {
  if (unlinkat(parentFd, name, 0) == 0 || depth > 200) return;
  int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  // Entries removed while the folder is read may hide others: read again
  // until a pass removes nothing.
  for (bool removed = true; removed;) {
    removed = false;
    lseek(fd, 0, SEEK_SET);
    alignas(8) char buffer[1024];
    long got;
    while ((got = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
      for (long at = 0; at < got;) {
        const LinuxDirent64* d = reinterpret_cast<const LinuxDirent64*>(buffer + at);
        at += d->length;
        if (std::strcmp(d->name, ".") == 0 || std::strcmp(d->name, "..") == 0) continue;
        RemoveTreeAt(fd, d->name, depth + 1);
        removed = true;
      }
    }
  }
  close(fd);
  unlinkat(parentFd, name, AT_REMOVEDIR);
}

void OnStopSignal(int signal) {
  const int saved = errno;
  if (gGuard.fileFolderFd >= 0) unlinkat(gGuard.fileFolderFd, gGuard.fileName, 0);
  if (gGuard.runFolderParentFd >= 0) RemoveTreeAt(gGuard.runFolderParentFd, gGuard.runFolderName, 0);
  errno = saved;
  // The handler was installed once (SA_RESETHAND): the signal, raised again,
  // ends the process as soon as the handler returns.
  raise(signal);
}

// The folder part of host (without its last component) in folder, and the
// last component; false when the path has no last component or is too long.
bool SplitLast(const char* host, char* folder, size_t size, const char** leaf) {
  size_t n = std::strlen(host);
  while (n > 1 && host[n - 1] == '/') --n;
  size_t start = n;
  while (start > 0 && host[start - 1] != '/') --start;
  if (start == n || n - start > NAME_MAX || start + 2 > size) return false;
  if (start == 0) std::strcpy(folder, ".");
  else std::snprintf(folder, size, "%.*s", static_cast<int>(start), host);
  *leaf = host + start;
  return true;
}

// A symbolic link that the runner, the system or the owner of a folder that
// no one else may write placed there.
bool TrustedLink(int folderFd, const struct stat& link) {
  struct stat folder;
  if (link.st_uid == geteuid() || link.st_uid == 0) return true;
  return fstat(folderFd, &folder) == 0 && (folder.st_mode & 022) == 0 && link.st_uid == folder.st_uid;
}

// Opens the folder path one component at a time from "/" or the current
// folder, following a link only when TrustedLink allows it.
int OpenFolderSafely(const char* path) {
  int fd = open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const char* p = path; fd >= 0 && *p;) {
    while (*p == '/') ++p;
    const size_t n = std::strcspn(p, "/");
    if (n == 0) break;
    char part[NAME_MAX + 1];
    if (n > NAME_MAX) {
      close(fd);
      errno = ENAMETOOLONG;
      return -1;
    }
    std::memcpy(part, p, n);
    part[n] = '\0';
    p += n;
    int next = openat(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (next < 0 && fstatat(fd, part, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      next = TrustedLink(fd, st) ? openat(fd, part, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
      if (next < 0 && errno != ENOTDIR && errno != ENOENT) errno = ELOOP;
    }
    const int error = errno;
    close(fd);
    errno = error;
    fd = next;
  }
  return fd;
}

bool RememberIdentity(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (gGuard.count == gGuard.capacity) {
    const size_t capacity = gGuard.capacity ? 2 * gGuard.capacity : 64;
    Identity* ids = static_cast<Identity*>(std::realloc(gGuard.ids, capacity * sizeof(Identity)));
    if (ids == nullptr) return false;
    gGuard.ids = ids;
    gGuard.capacity = capacity;
  }
  gGuard.ids[gGuard.count++] = Identity{st.st_dev, st.st_ino};
  return true;
}

bool IsRemembered(const struct stat& st) {
  for (size_t i = gGuard.count; i-- > 0;)
    if (gGuard.ids[i].device == st.st_dev && gGuard.ids[i].inode == st.st_ino) return true;
  return false;
}

// Ends the record of the file being written (its folder's descriptor closed).
void ForgetFileBeingWritten() {
  sigset_t old;
  HoldStopSignals(&old);
  if (gGuard.fileFolderFd >= 0) close(gGuard.fileFolderFd);
  gGuard.fileFolderFd = -1;
  gGuard.fileFd = -1;
  gGuard.fileName[0] = '\0';
  ReleaseStopSignals(&old);
}

// Clears the name for a new file. What stands under it is replaced, never
// written through: a link keeps what it points at, a hard link the other
// file's contents. A folder, and a file the runner cannot read (the overwrite
// question never saw it), stay, and the name is refused.
bool ClearName(int folderFd, const char* leaf) {
  struct stat st;
  if (fstatat(folderFd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (!S_ISLNK(st.st_mode) && faccessat(folderFd, leaf, R_OK, AT_EACCESS) != 0) return false;
  return unlinkat(folderFd, leaf, 0) == 0;
}

}  // namespace

bool PosixCreateFolder(const char* host) {
  char folder[PATH_MAX];
  const char* leaf;
  if (!SplitLast(host, folder, sizeof folder, &leaf)) return false;
  char name[NAME_MAX + 1];
  std::snprintf(name, sizeof name, "%.*s", static_cast<int>(std::strcspn(leaf, "/")), leaf);
  const int fd = OpenFolderSafely(folder);
  if (fd < 0) return false;
  const bool made = mkdirat(fd, name, 0777) == 0;
  close(fd);
  return made;
}

int PosixCreateFile(const char* host) {
  char folder[PATH_MAX];
  const char* leaf;
  if (!SplitLast(host, folder, sizeof folder, &leaf) || std::strchr(leaf, '/') != nullptr) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int folderFd = OpenFolderSafely(folder);
  if (folderFd < 0) return -1;
  if (!ClearName(folderFd, leaf)) {
    const int error = errno;
    close(folderFd);
    errno = error;
    return -1;
  }
  ForgetFileBeingWritten();
  sigset_t old;
  HoldStopSignals(&old);
  const int fd = openat(folderFd, leaf, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  const int error = errno;
  if (fd >= 0) {
    gGuard.fileFolderFd = folderFd;
    gGuard.fileFd = fd;
    std::snprintf(gGuard.fileName, sizeof gGuard.fileName, "%s", leaf);
    RememberIdentity(fd);
  } else {
    close(folderFd);
  }
  ReleaseStopSignals(&old);
  errno = error;
  return fd;
}

bool PosixSetFileBeingWrittenMode(mode_t mode) {
  if (gGuard.fileFd < 0) {
    errno = EBADF;
    return false;
  }
  return fchmod(gGuard.fileFd, mode & 07777) == 0;
}

namespace {

// The folder above host opened safely, and host's last component; -1 with
// errno when either cannot be had.
int OpenParent(const char* host, const char** leaf) {
  char folder[PATH_MAX];
  if (!SplitLast(host, folder, sizeof folder, leaf) || std::strchr(*leaf, '/') != nullptr) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return OpenFolderSafely(folder);
}

}  // namespace

bool PosixSetFolderMode(const char* host, mode_t mode) {
  char trimmed[PATH_MAX];
  std::snprintf(trimmed, sizeof trimmed, "%s", host);
  for (size_t n = std::strlen(trimmed); n > 1 && trimmed[n - 1] == '/';) trimmed[--n] = '\0';
  const char* leaf;
  const int parentFd = OpenParent(trimmed, &leaf);
  if (parentFd < 0) return false;
  const int fd = openat(parentFd, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  close(parentFd);
  if (fd < 0) return false;
  const bool set = fchmod(fd, mode & 07777) == 0;
  close(fd);
  return set;
}

bool PosixCreateLink(const char* host, const char* target) {
  const char* leaf;
  const int folderFd = OpenParent(host, &leaf);
  if (folderFd < 0) return false;
  const bool made = ClearName(folderFd, leaf) && symlinkat(target, folderFd, leaf) == 0;
  const int error = errno;
  close(folderFd);
  errno = error;
  return made;
}

bool PosixReplaceFile(const char* from, const char* to) {
  char folder[PATH_MAX];
  const char* leaf;
  const char* fromLeaf = std::strrchr(from, '/');
  if (!SplitLast(to, folder, sizeof folder, &leaf) || std::strchr(leaf, '/') != nullptr) {
    errno = ENAMETOOLONG;
    return false;
  }
  const int folderFd = OpenFolderSafely(folder);
  if (folderFd < 0) return false;
  struct stat st;
  const bool borne = fstatat(folderFd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
  bool replaced = false;
  if (borne && S_ISDIR(st.st_mode)) errno = EISDIR;
  // A file the runner cannot read (the overwrite question never saw it) stays.
  else if (borne && !S_ISLNK(st.st_mode) && faccessat(folderFd, leaf, R_OK, AT_EACCESS) != 0) replaced = false;
  else replaced = renameat(folderFd, fromLeaf != nullptr ? fromLeaf + 1 : from, folderFd, leaf) == 0;
  const int error = errno;
  close(folderFd);
  errno = error;
  return replaced;
}

void PosixFileClosed() { ForgetFileBeingWritten(); }

void PosixRemoveFileBeingWritten() {
  if (gGuard.fileFolderFd >= 0) unlinkat(gGuard.fileFolderFd, gGuard.fileName, 0);
  ForgetFileBeingWritten();
}

int PosixOpenWrittenFile(const char* host) {
  const int fd = open(host, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && IsRemembered(st)) return fd;
  close(fd);
  errno = EPERM;
  return -1;
}

bool PosixSameFile(int fd, const char* host) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && lstat(host, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void PosixWatchStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGHUP);
  const int stops[] = {SIGTERM, SIGINT, SIGHUP};
  for (int signal : stops) {
    struct sigaction old;
    // A signal the caller ignores (nohup, a background job) stays ignored.
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
  }
}

void PosixGuardRunFolder(const char* host) {
  char folder[PATH_MAX];
  const char* leaf;
  if (!SplitLast(host, folder, sizeof folder, &leaf)) return;
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  sigset_t old;
  HoldStopSignals(&old);
  if (gGuard.runFolderParentFd >= 0) close(gGuard.runFolderParentFd);
  gGuard.runFolderParentFd = fd;
  std::snprintf(gGuard.runFolderName, sizeof gGuard.runFolderName, "%.*s",
                static_cast<int>(std::strcspn(leaf, "/")), leaf);
  ReleaseStopSignals(&old);
}

void PosixEndExtraction() {
  sigset_t old;
  HoldStopSignals(&old);
  if (gGuard.runFolderParentFd >= 0) close(gGuard.runFolderParentFd);
  gGuard.runFolderParentFd = -1;
  gGuard.runFolderName[0] = '\0';
  ReleaseStopSignals(&old);
}

int PosixPrivateFolderIfShared(const char* host, char* made, size_t size) {
  made[0] = '\0';
  struct stat st;
  // A missing folder is made now, so that no one else can make it first.
  if (mkdir(host, 0777) != 0 && errno != EEXIST) return 0;
  if (stat(host, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  if ((st.st_mode & 022) == 0 || st.st_uid == geteuid()) return 0;
  const size_t n = std::strlen(host);
  const int length = std::snprintf(made, size, "%s%sdolmsfx-XXXXXX", host, n && host[n - 1] == '/' ? "" : "/");
  if (length < 0 || static_cast<size_t>(length) >= size || mkdtemp(made) == nullptr) return -1;
  return 1;
}

bool PosixFreeSpace(const char* host, uint64_t* freeBytes, uint64_t* freeEntries, uint64_t* blockSize) {
  char path[PATH_MAX];
  std::snprintf(path, sizeof path, "%s", host[0] ? host : ".");
  struct statvfs fs;
  // A folder not made yet: the nearest one above it that exists.
  while (statvfs(path, &fs) != 0) {
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) std::strcpy(path, ".");
    else if (slash == path) path[1] = '\0';
    else *slash = '\0';
    if (statvfs(path, &fs) == 0) break;
    if (std::strcmp(path, "/") == 0 || std::strcmp(path, ".") == 0) return false;
  }
  *freeBytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  *freeEntries = fs.f_files != 0 ? static_cast<uint64_t>(fs.f_favail) : UINT64_MAX;
  *blockSize = fs.f_frsize ? fs.f_frsize : 4096;
  return true;
}
