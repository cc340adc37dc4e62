// POSIX backend of the platform layer: the Linux stub's file system, process
// and console versions of what the Win32 backend does with the Windows API.
#include <dirent.h>
#if defined(__i386__)
#include <cpuid.h>
#endif
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "format/stored_names.h"
#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "resources/string_table.h"

namespace {

// Backend state: how the run's paths are written (PlatformUseUtf8Names),
// set by the run sequence before the first path of the extraction.
StoredNames gPathNames = StoredNames::kCodePage;

// Copies a path in the stub's form into out with every backslash turned into
// a slash and each name made UTF-8 by the stored-name rule
// (format/stored_names.h); a UTF-8 run's path is taken as it is, the host's
// own folders byte for byte. False when it does not fit (errno = ENAMETOOLONG).
bool HostPath(const char* path, char* out, size_t size) {
  size_t n = std::strlen(path);
  char slashed[PATH_MAX];
  if (n >= size || n >= sizeof slashed) {
    errno = ENAMETOOLONG;
    return false;
  }
  for (size_t i = 0; i <= n; ++i) slashed[i] = path[i] == '\\' ? '/' : path[i];
  if (gPathNames == StoredNames::kUtf8) {
    std::memcpy(out, slashed, n + 1);
    return true;
  }
  if (StoredNameToUtf8(slashed, n, out, size)) return true;
  errno = ENAMETOOLONG;
  return false;
}

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Writes text to standard error with the stub's backslashes shown as the
// slashes of the paths they stand for, and every control byte but line
// breaks and tabs as \xNN, as listings show names: no stored text steers
// the terminal.
void PutForUser(const char* text) {
  const size_t length = std::strlen(text);
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // A UTF-8 run's texts are UTF-8: a byte of no sequence (a damaged name) is shown by its number.
    size_t sequence = c < 0x80 || gPathNames != StoredNames::kUtf8 ? 1 : StrictUtf8Length(text, i, length);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F || sequence == 0) {
      std::fprintf(stderr, "\\x%02x", c);
    } else {
      std::fputc(c == '\\' ? '/' : c, stderr);
      for (; sequence > 1; --sequence) std::fputc(text[++i], stderr);
    }
  }
}

// One open directory search.
struct Search {
  DIR* dir;
  char folder[PATH_MAX];
  char pattern[PATH_MAX];  // "" matches every entry
};

// Reads entries until one matches and fills entry; false at the end.
bool NextMatch(Search* s, PlatformFindEntry* entry) {
  for (;;) {
    struct dirent* d = readdir(s->dir);
    if (!d) return false;
    size_t n = std::strlen(d->d_name);
    // A name the 260-byte entry cannot hold is passed over rather than cut,
    // so that no caller acts on a different path.
    if (n >= sizeof entry->name) continue;
    if (s->pattern[0] && fnmatch(s->pattern, d->d_name, 0) != 0) continue;
    std::memcpy(entry->name, d->d_name, n + 1);
    char full[PATH_MAX];
    int len = std::snprintf(full, sizeof full, "%s/%s", s->folder, d->d_name);
    struct stat st;
    unsigned attributes = 0;
    if (len > 0 && static_cast<size_t>(len) < sizeof full && lstat(full, &st) == 0) {
      if (S_ISDIR(st.st_mode)) attributes |= kAttrFolder;
      else attributes |= kAttrArchive;
      if (!(st.st_mode & S_IWUSR)) attributes |= kAttrReadOnly;
    }
    entry->attributes = attributes ? attributes : kAttrNormal;
    return true;
  }
}

}  // namespace

bool PosixHostPath(const char* path, char* out, size_t size) { return HostPath(path, out, size); }

void PlatformUseUtf8Names(bool utf8) { gPathNames = utf8 ? StoredNames::kUtf8 : StoredNames::kCodePage; }

bool PlatformCanName(const char* name) {
  (void)name;
  return true;
}

bool PlatformTakeSystemText(const char* text, char* out, int size) {
  return size > 0 && std::snprintf(out, static_cast<size_t>(size), "%s", text) < size;
}

// ---- command line --------------------------------------------------------------

int PosixSplitCommandLine(const char* commandLine, char* storage, char** argv) {
  const char* s = commandLine;
  char* d = storage;
  int argc = 0;

  // The program name: quotes delimit it, backslashes are plain characters.
  argv[argc++] = d;
  if (*s == '"') {
    ++s;
    while (*s && *s != '"') *d++ = *s++;
    if (*s == '"') ++s;
  } else {
    while (*s && !IsBlankOrTab(*s)) *d++ = *s++;
  }
  *d++ = '\0';

  for (;;) {
    while (IsBlankOrTab(*s)) ++s;
    if (!*s) break;
    argv[argc++] = d;
    int inQuotes = 0;
    while (*s && (inQuotes || !IsBlankOrTab(*s))) {
      if (*s == '\\') {
        size_t n = 0;
        while (s[n] == '\\') ++n;
        if (s[n] == '"') {
          for (size_t k = 0; k < n / 2; ++k) *d++ = '\\';
          s += n;
          if (n % 2) {
            *d++ = '"';
            ++s;
          }
        } else {
          for (size_t k = 0; k < n; ++k) *d++ = '\\';
          s += n;
        }
      } else if (*s == '"') {
        if (inQuotes && s[1] == '"') {
          *d++ = '"';
          s += 2;
        } else {
          inQuotes = !inQuotes;
          ++s;
        }
      } else {
        *d++ = *s++;
      }
    }
    *d++ = '\0';
  }
  argv[argc] = nullptr;
  return argc;
}

void PlatformCreateHiddenWindow() {}

bool PlatformHasSse2() {
#if defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) && (d & bit_SSE2) != 0;
#else
  return true;
#endif
}

int PlatformExitCode(RunEnd end, int programStatus) { return ScriptExitCode(end, programStatus); }

// ---- resources and user interface ---------------------------------------------

int PlatformLoadString(unsigned id, char* buf, int size) {
  if (size <= 0) return 0;
  const char* text = id < kStringTableSize ? kStringTable[id] : "";
  int n = static_cast<int>(std::strlen(text));
  if (n > size - 1) n = size - 1;
  std::memcpy(buf, text, static_cast<size_t>(n));
  buf[n] = '\0';
  return n;
}

void PlatformMessageBox(const char* text, const char* caption, unsigned style) {
  std::fprintf(stderr, "%s\n", caption);
  PutForUser(text);
  std::fputs("\n\n", stderr);
  std::fflush(stderr);
}

bool PlatformOverwriteDialog(const char* text, bool silent, int* answer) {
  char line[256];
  for (;;) {
    std::fputs("Overwrite file\n", stderr);
    PutForUser(text);
    std::fputs("\n[Y]es, Yes to [A]ll, [N]o, [C]ancel? ", stderr);
    std::fflush(stderr);
    if (!std::fgets(line, sizeof line, stdin)) {
      // End of input counts as closing the dialog.
      std::fputc('\n', stderr);
      *answer = 'N';
      return true;
    }
    // A line longer than the buffer is read to its end and counts as one answer.
    size_t n = std::strlen(line);
    int whole = n > 0 && line[n - 1] == '\n';
    while (!whole) {
      int c = std::fgetc(stdin);
      if (c == EOF || c == '\n') break;
      line[0] = '\0';  // too long to be one of the letters
    }
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    char letter = *p ? *p++ : '\0';
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    if (*p == '\0') {
      switch (letter) {
        case 'y': case 'Y': *answer = 'Y'; return true;
        case 'n': case 'N': *answer = 'N'; return true;
        case 'a': case 'A': *answer = 'A'; return true;
        case 'c': case 'C': *answer = 'C'; return true;
        default: break;
      }
    }
  }
}

// ---- file system -----------------------------------------------------------------

namespace {

// A stream over a file that PosixCreateFile made: its closing ends the
// record of the file being written.
ssize_t ReadCreated(void* cookie, char* buf, size_t size) {
  return read(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buf, size);
}
ssize_t WriteCreated(void* cookie, const char* buf, size_t size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, buf + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    if (n == 0) {
      errno = ENOSPC;
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}
int SeekCreated(void* cookie, off64_t* offset, int whence) {
  const off_t at = lseek(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), *offset, whence);
  if (at < 0) return -1;
  *offset = at;
  return 0;
}
int CloseCreated(void* cookie) {
  const int closed = close(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
  const int error = errno;
  PosixFileClosed();
  errno = error;
  return closed;
}

}  // namespace

FILE* PlatformOpenFile(const char* path, const char* mode) {
  char host[PATH_MAX];
  if (!HostPath(path, host, sizeof host)) return nullptr;
  // A file opened for writing is always one made anew by this run.
  if (std::strcmp(mode, "wb+") != 0) return std::fopen(host, mode);
  const int fd = PosixCreateFile(host);
  if (fd < 0) return nullptr;
  static const cookie_io_functions_t kCreated = {ReadCreated, WriteCreated, SeekCreated, CloseCreated};
  FILE* file = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "wb+", kCreated);
  if (file == nullptr) CloseCreated(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  return file;
}

int PlatformTempPath(char* buf, int size) {
  if (size <= 0) return 0;
  buf[0] = '\0';
  const char* dir = std::getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  size_t n = std::strlen(dir);
  int slash = dir[n - 1] != '/';
  // A path that does not fit is not handed out cut short.
  if (n + static_cast<size_t>(slash) > static_cast<size_t>(size - 1)) return 0;
  std::memcpy(buf, dir, n);
  if (slash) buf[n++] = '/';
  buf[n] = '\0';
  return static_cast<int>(n);
}

Result PlatformMakeRunFolder(char* buf, int size, bool* made, Faults* faults) {
  *made = false;
  char base[kPathSize];
  int length = PlatformTempPath(base, sizeof base);
  char pattern[kPathSize + 16];
  int n = std::snprintf(pattern, sizeof pattern, "%sdolmsfx-XXXXXX", length > 0 ? base : "/tmp/");
  if (n < 0 || n + 2 > size || static_cast<size_t>(n) >= sizeof pattern || mkdtemp(pattern) == nullptr)
    return NoteFault(faults, kErrorCannotOpen, pattern);
  std::snprintf(buf, static_cast<size_t>(size), "%s/", pattern);
  *made = true;
  PosixGuardRunFolder(pattern);
  return kOk;
}

bool PlatformStartsOnlyWrittenFiles() { return true; }

bool PlatformStartWasDenied(int startError) { return startError == EACCES || startError == EPERM; }

void PlatformNotice(const char* text) {
  PutForUser(text);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

bool PlatformCreateFolder(const char* path) {
  char host[PATH_MAX];
  return HostPath(path, host, sizeof host) && PosixCreateFolder(host);
}

bool PlatformHasUnixFiles() { return true; }

bool PlatformSetWrittenFileMode(unsigned mode) { return PosixSetFileBeingWrittenMode(static_cast<mode_t>(mode)); }

bool PlatformSetFolderMode(const char* path, unsigned mode) {
  char host[PATH_MAX];
  return HostPath(path, host, sizeof host) && PosixSetFolderMode(host, static_cast<mode_t>(mode));
}

bool PlatformCreateLink(const char* path, const char* target) {
  char host[PATH_MAX];
  return HostPath(path, host, sizeof host) && PosixCreateLink(host, target);
}

bool PlatformSetAttributes(const char* path, unsigned attributes) {
  char host[PATH_MAX];
  struct stat st;
  // A link is left alone: its target is not this run's file.
  if (!HostPath(path, host, sizeof host) || lstat(host, &st) != 0 || S_ISLNK(st.st_mode)) return false;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly) mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else mode |= S_IWUSR;
  return chmod(host, mode) == 0;
}

bool PlatformSetFileTime(const char* path, uint32_t seconds) {
  char host[PATH_MAX];
  if (!HostPath(path, host, sizeof host)) return false;
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return utimensat(AT_FDCWD, host, times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool PlatformDeleteFile(const char* path) {
  char host[PATH_MAX];
  if (!HostPath(path, host, sizeof host)) return false;
  return unlink(host) == 0;
}

bool PlatformPathExists(const char* path) {
  char host[PATH_MAX];
  struct stat st;
  // A name that cannot be looked at is taken as borne: it is not one to write.
  return !HostPath(path, host, sizeof host) || lstat(host, &st) == 0 || errno != ENOENT;
}

bool PlatformReplaceFile(const char* from, const char* to, const char* aside) {
  (void)aside;  // a rename replaces in one step
  char hostFrom[PATH_MAX], hostTo[PATH_MAX];
  return HostPath(from, hostFrom, sizeof hostFrom) && HostPath(to, hostTo, sizeof hostTo) &&
         PosixReplaceFile(hostFrom, hostTo);
}

bool PlatformRemoveFolder(const char* path) {
  char host[PATH_MAX];
  if (!HostPath(path, host, sizeof host)) return false;
  return rmdir(host) == 0;
}

bool PlatformGetCurrentFolder(char* buf, int size) {
  if (size <= 0) return false;
  if (!getcwd(buf, static_cast<size_t>(size))) {
    buf[0] = '\0';
    return false;
  }
  return true;
}

bool PlatformSetCurrentFolder(const char* path) {
  char host[PATH_MAX];
  if (!HostPath(path, host, sizeof host)) return false;
  return chdir(host) == 0;
}

bool PlatformSetCurrentDrive(int drive) { return true; }

bool PlatformIsAbsolutePath(const char* path) { return path[0] == '/' || path[0] == '\\'; }

bool PlatformDriveFolder(char letter, char* buf, int size) { return false; }

bool PlatformIsFolderBreak(char c) { return c == '\\' || c == '/'; }

bool PlatformNamesProgramAsGiven() { return false; }

void* PlatformFindFirst(const char* pattern, PlatformFindEntry* entry) {
  char host[PATH_MAX];
  if (!HostPath(pattern, host, sizeof host)) return nullptr;
  Search* s = static_cast<Search*>(std::malloc(sizeof(Search)));
  if (!s) return nullptr;
  char* slash = std::strrchr(host, '/');
  const char* name = slash ? slash + 1 : host;
  if (slash == host) std::strcpy(s->folder, "/");
  else if (slash) {
    *slash = '\0';
    std::strcpy(s->folder, host);
  } else {
    std::strcpy(s->folder, ".");
  }
  // "*.*" and "*" take every entry, as the Windows search does; other
  // patterns use the shell's wildcard rules.
  if (std::strcmp(name, "*.*") == 0 || std::strcmp(name, "*") == 0) s->pattern[0] = '\0';
  else std::strcpy(s->pattern, name);
  s->dir = opendir(s->folder);
  if (!s->dir || !NextMatch(s, entry)) {
    if (s->dir) closedir(s->dir);
    std::free(s);
    return nullptr;
  }
  return s;
}

bool PlatformFindNext(void* search, PlatformFindEntry* entry) {
  if (!search) return false;
  return NextMatch(static_cast<Search*>(search), entry);
}

void PlatformFindClose(void* search) {
  if (!search) return;
  Search* s = static_cast<Search*>(search);
  closedir(s->dir);
  std::free(s);
}

// ---- launching ---------------------------------------------------------------------

void PlatformFindExecutable(const char* file, const char* folder, char* result, int size) {
  if (size <= 0) return;
  result[0] = '\0';
  const char* path = std::getenv("PATH");
  if (!path) return;
  // The desktop opener stands in for the program associated with a document.
  for (const char* p = path;;) {
    const char* end = std::strchr(p, ':');
    size_t n = end ? static_cast<size_t>(end - p) : std::strlen(p);
    char candidate[PATH_MAX];
    int len = std::snprintf(candidate, sizeof candidate, "%.*s/xdg-open",
                            static_cast<int>(n), n ? p : ".");
    if (len > 0 && len < size && static_cast<size_t>(len) < sizeof candidate &&
        access(candidate, X_OK) == 0) {
      std::memcpy(result, candidate, static_cast<size_t>(len) + 1);
      return;
    }
    if (!end) return;
    p = end + 1;
  }
}

namespace {

// Frees the arguments that PlatformRunProcess gave storage of their own.
void FreeGrownArguments(char** argv, const char* storage, size_t size) {
  uintptr_t first = reinterpret_cast<uintptr_t>(storage);
  for (int i = 1; argv[i]; ++i) {
    uintptr_t at = reinterpret_cast<uintptr_t>(argv[i]);
    if (at < first || at >= first + size) std::free(argv[i]);
  }
}

}  // namespace

namespace {

// execv (no shell takes a file that is not a program), and for a "#!"
// script that cannot be started itself (a folder mounted noexec gives
// EACCES) its interpreter with the script's path first.
void ExecProgram(char** argv) {
  execv(argv[0], argv);
  const int failure = errno;
  char line[256] = {};
  int fd = failure == EACCES ? open(argv[0], O_RDONLY | O_CLOEXEC) : -1;
  ssize_t n = fd >= 0 ? read(fd, line, sizeof line - 1) : -1;
  if (fd >= 0) close(fd);
  if (n < 3 || line[0] != '#' || line[1] != '!') {
    errno = failure;
    return;
  }
  line[n] = '\0';
  line[std::strcspn(line, "\n")] = '\0';
  // "#!interpreter [one argument]", as the kernel reads it.
  char* interpreter = line + 2 + std::strspn(line + 2, " \t");
  char* argument = interpreter + std::strcspn(interpreter, " \t");
  if (*argument) *argument++ = '\0';
  argument += std::strspn(argument, " \t");
  argument[std::strcspn(argument, "\r")] = '\0';
  size_t count = 0;
  while (argv[count]) ++count;
  char** args = static_cast<char**>(std::malloc(sizeof(char*) * (count + 3)));
  if (args == nullptr) {
    errno = failure;
    return;
  }
  size_t k = 0;
  args[k++] = interpreter;
  if (*argument) args[k++] = argument;
  for (size_t i = 0; i <= count; ++i) args[k++] = argv[i];
  execv(interpreter, args);
  std::free(args);
  errno = failure;
}

}  // namespace

namespace {

// A command line split into the argv of execvp, the paths in the host's form.
// argv[0] points at program when the program path could be converted; a
// further argument lies in storage unless it grew and got storage of its own.
struct ExecArguments {
  char* storage;  // the split texts, storageSize bytes
  size_t storageSize;
  char** argv;    // null-terminated
  char program[PATH_MAX];
};

void FreeExecArguments(ExecArguments* args) {
  FreeGrownArguments(args->argv, args->storage, args->storageSize);
  std::free(args->storage);
  std::free(args->argv);
}

// A document's path that the command line splits at its blanks (the
// launch writes it unquoted) is joined back into one argument in the host's
// form: the longest run of words from argv[1] that names an existing file.
void JoinDocumentPath(char** argv) {
  int argc = 0;
  while (argv[argc]) ++argc;
  for (int last = argc - 1; last >= 2; --last) {
    char joined[PATH_MAX] = "";
    size_t used = 0;
    for (int i = 1; i <= last && used < sizeof joined; ++i)
      used += static_cast<size_t>(std::snprintf(joined + used, sizeof joined - used, i > 1 ? " %s" : "%s", argv[i]));
    char host[PATH_MAX];
    struct stat st;
    if (used >= sizeof joined || !HostPath(joined, host, sizeof host) || stat(host, &st) != 0) continue;
    char* copy = strdup(host);
    if (copy == nullptr) return;
    argv[1] = copy;
    std::memmove(argv + 2, argv + last + 1, sizeof(char*) * static_cast<size_t>(argc - last));
    return;
  }
}

// Splits commandLine by the Windows rules; false when memory runs out.
bool SplitForExec(const char* commandLine, const char* program, ExecArguments* args) {
  const size_t len = std::strlen(commandLine);
  args->storageSize = 2 * len + 2;
  args->storage = static_cast<char*>(std::malloc(args->storageSize));
  args->argv = static_cast<char**>(std::malloc(sizeof(char*) * (len / 2 + 2)));
  if (!args->storage || !args->argv) {
    std::free(args->storage);
    std::free(args->argv);
    return false;
  }
  char** argv = args->argv;
  PosixSplitCommandLine(commandLine, args->storage, argv);
  // The program path is a path of the stub's form; program, when given, is
  // the file to start whatever the command line's first word says.
  char named[PATH_MAX];
  if (program == nullptr || std::snprintf(named, sizeof named, "%s", program) >= static_cast<int>(sizeof named))
    std::snprintf(named, sizeof named, "%s", argv[0]);
  for (char* c = named; *c; ++c)
    if (*c == '\\') *c = '/';
  if (!HostPath(named, args->program, sizeof args->program))
    std::snprintf(args->program, sizeof args->program, "%s", named);
  argv[0] = args->program;
  if (program == nullptr) JoinDocumentPath(argv);
  // A further argument that names an existing file once its backslashes are
  // slashes (a document handed to its opener) is passed in that form; any
  // other argument goes through unchanged.
  for (int i = 1; argv[i]; ++i) {
    if (!std::strchr(argv[i], '\\')) continue;
    char host[PATH_MAX];
    struct stat st;
    if (!HostPath(argv[i], host, sizeof host) || stat(host, &st) != 0) continue;
    // A name read as code page 1252 grows; it then gets storage of its own.
    if (std::strlen(host) <= std::strlen(argv[i])) std::strcpy(argv[i], host);
    else if (char* copy = strdup(host)) argv[i] = copy;
  }
  return true;
}

// The child: the stub's own handling of Ctrl-C and Ctrl-\ put back, then the
// program; a failed exec is reported through the pipe. programFd, when not
// -1, is the file this run wrote: an ELF program is started through it, a
// script by its path once that still names the same file.
[[noreturn]] void BecomeProgram(char** argv, int programFd, int reportFd, const struct sigaction* oldInt,
                                const struct sigaction* oldQuit) {
  sigaction(SIGINT, oldInt, nullptr);
  sigaction(SIGQUIT, oldQuit, nullptr);
  unsigned char head[2] = {0, 0};
  const bool script = programFd >= 0 && pread(programFd, head, 2, 0) == 2 && head[0] == '#' && head[1] == '!';
  if (programFd >= 0 && !script) fexecve(programFd, argv, environ);
  else if (programFd >= 0 && !PosixSameFile(programFd, argv[0])) errno = EPERM;
  else if (argv[0][0]) ExecProgram(argv);
  int failure = errno;
  ssize_t ignored = write(reportFd, &failure, sizeof failure);
  (void)ignored;
  _exit(127);
}

// The file to start, opened when it is the very file this run wrote and an
// ELF program or a "#!" script (nothing else is started: a shell would take
// any other file for a script); -1 with the reason in *error.
int OpenProgram(const char* hostPath, int* error) {
  const int fd = PosixOpenWrittenFile(hostPath);
  unsigned char head[4] = {0, 0, 0, 0};
  if (fd < 0) {
    *error = errno;
    if (errno == EPERM) {
      char notice[PATH_MAX + 64];
      std::snprintf(notice, sizeof notice, "%s: not the file this run wrote (replaced after the extraction)", hostPath);
      PlatformNotice(notice);
    }
    return -1;
  }
  const ssize_t got = pread(fd, head, sizeof head, 0);
  if ((got >= 2 && head[0] == '#' && head[1] == '!') ||
      (got == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F'))
    return fd;
  close(fd);
  *error = ENOEXEC;
  return -1;
}

}  // namespace

bool PlatformRunProcess(const char* commandLine, const char* program, int* exitStatus, int* error) {
  *exitStatus = 0;
  *error = 0;
  // The extraction is over: a stop signal from here on removes nothing.
  PosixEndExtraction();
  ExecArguments args;
  if (!SplitForExec(commandLine, program, &args)) return false;
  const int programFd = program != nullptr ? OpenProgram(args.program, error) : -1;
  // The child reports a failed exec through a pipe that closes on success.
  int fds[2];
  if ((program != nullptr && programFd < 0) || pipe2(fds, O_CLOEXEC) != 0) {
    if (programFd >= 0) close(programFd);
    FreeExecArguments(&args);
    return false;
  }
  std::fflush(nullptr);
  // While the program runs the stub ignores Ctrl-C and Ctrl-\ (the program
  // still gets them, as with system()), so that the clean-up runs after it.
  struct sigaction ignore = {}, oldInt = {}, oldQuit = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &oldInt);
  sigaction(SIGQUIT, &ignore, &oldQuit);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    BecomeProgram(args.argv, programFd, fds[1], &oldInt, &oldQuit);
  }
  if (programFd >= 0) close(programFd);
  close(fds[1]);
  FreeExecArguments(&args);
  bool started = false;
  if (pid < 0) {
    *error = errno;
    close(fds[0]);
  } else {
    ssize_t got;
    do {
      got = read(fds[0], error, sizeof *error);
    } while (got < 0 && errno == EINTR);
    close(fds[0]);
    started = got <= 0;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    *exitStatus = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGQUIT, &oldQuit, nullptr);
  return started;
}

void PlatformMakeExecutable(const char* path) {
  char host[PATH_MAX];
  struct stat st;
  if (!HostPath(path, host, sizeof host) || lstat(host, &st) != 0 || !S_ISREG(st.st_mode)) return;
  chmod(host, (st.st_mode & 07777) | S_IXUSR);
}

namespace {

bool StartsLikeProgram(const char* hostPath) {
  int fd = open(hostPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  unsigned char head[4] = {0, 0, 0, 0};
  ssize_t got = read(fd, head, sizeof head);
  close(fd);
  if (got >= 2 && head[0] == '#' && head[1] == '!') return true;
  return got == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
}

}  // namespace

void PlatformMarkProgram(const char* path) {
  char host[PATH_MAX];
  struct stat st;
  if (!HostPath(path, host, sizeof host) || lstat(host, &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (!StartsLikeProgram(host)) return;
  const mode_t mask = umask(0);
  umask(mask);
  const mode_t mode = st.st_mode & 07777;
  chmod(host, mode | (((mode & 0444) >> 2) & ~mask));
}

bool PlatformIsNativeProgram(const char* path) {
  size_t n = std::strlen(path);
  if (n >= 3 && strcasecmp(path + n - 3, ".sh") == 0) return true;
  char host[PATH_MAX];
  return HostPath(path, host, sizeof host) && StartsLikeProgram(host);
}

// ---- what the extension record asks of the Windows stubs ---------------------

bool PlatformMessagesWait() { return false; }

void PlatformSleep(unsigned milliseconds) { usleep(static_cast<useconds_t>(milliseconds) * 1000u); }

void PlatformSystemReason(int code, char* buf, int size) {
  if (size > 0) std::snprintf(buf, static_cast<size_t>(size), "%s", std::strerror(code));
}

Result PlatformMakePrivateFolder(char* buf, int size, Faults* faults) {
  bool made = false;
  return PlatformMakeRunFolder(buf, size, &made, faults);
}

bool PlatformExpandEnvironment(const char* text, char* out, int size) {
  return size > 0 && std::snprintf(out, static_cast<size_t>(size), "%s", text) < size;
}
// ---- the windows of an archive with the extension record -----------------------
// None on POSIX: the Linux stub asks on its terminal instead.

bool PlatformHasWindows() { return false; }

WindowAnswer PlatformLicenceWindow(PlatformText, PlatformText) { return WindowAnswer::kNoWindow; }

WindowAnswer PlatformExtractToWindow(PlatformText, char*) { return WindowAnswer::kNoWindow; }

PlatformProgress* PlatformOpenProgress(PlatformText) { return nullptr; }

bool PlatformShowProgress(PlatformProgress*, const char*, unsigned) { return true; }

void PlatformCloseProgress(PlatformProgress*) {}
