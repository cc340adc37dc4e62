// Helper of the POSIX backend that the tests reach directly: splitting a
// Windows-style command line (the launch's) into argv.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

// Splits a command line by the Windows rules: the program name runs to the
// closing quote (quoted) or to the first blank or tab; after it, blanks and
// tabs separate arguments outside quotes, 2n backslashes before a quote give n
// backslashes and a delimiting quote, 2n+1 give n backslashes and a literal
// quote, and "" inside quotes gives a literal quote. The texts go to storage
// (at least 2 * strlen(commandLine) + 2 bytes), the pointers to argv (at
// least strlen(commandLine) / 2 + 2 entries, null-terminated). Returns argc.
int PosixSplitCommandLine(const char* commandLine, char* storage, char** argv);

// ---- the Linux stub's files and stop signals (posix_guard.cpp) -------------
// Paths here are in the host's form (PosixHostPath).

// The stub-form path in the host's form: slashes, names made UTF-8.
bool PosixHostPath(const char* path, char* out, size_t size);

// Creates one folder, or opens a new file for reading and writing, relative
// to the descriptor of the folder above it: the folders on the way are
// opened one at a time, a symbolic link followed only when the runner or the
// system owns it, or the owner of a folder no one else may write; an entry
// that stands under the file's name (not a folder) is removed first and the
// file created anew (O_EXCL, O_NOFOLLOW). The file's identity is kept for
// PosixOpenWrittenFile, and it counts as being written until
// PosixFileClosed. -1 (or false) with errno on failure.
// PosixRemoveFileBeingWritten removes a file that a run left unfinished.
bool PosixCreateFolder(const char* host);
int PosixCreateFile(const char* host);
// The mode of the file being written, through its descriptor; the mode of
// a folder opened without following a link; a symbolic link made in place
// of what bears its name (by ClearName's rules). False with errno.
bool PosixSetFileBeingWrittenMode(mode_t mode);
bool PosixSetFolderMode(const char* host, mode_t mode);
bool PosixCreateLink(const char* host, const char* target);
// Renames the file from to the name to in the same folder, replacing what
// bears that name by the rules of PosixCreateFile; false with errno.
bool PosixReplaceFile(const char* from, const char* to);
void PosixFileClosed();
void PosixRemoveFileBeingWritten();

// The file at host, not followed when it is a link, opened for reading when
// it is one that PosixCreateFile made in this process; else -1 (EPERM when
// it is another file). PosixSameFile: fd and host name the same file now.
int PosixOpenWrittenFile(const char* host);
bool PosixSameFile(int fd, const char* host);

// SIGTERM, SIGINT and SIGHUP (unless ignored) remove the file being written
// and the guarded run folder with everything in it, then end the process by
// the signal. PosixGuardRunFolder names the run's private folder;
// PosixEndExtraction ends its guard (the extraction is over).
void PosixWatchStopSignals();
void PosixGuardRunFolder(const char* host);
void PosixEndExtraction();

// When the folder host (made now when it is missing) may be written by other
// users and is not the runner's own, makes a fresh private folder inside it
// (its path in made) and returns 1; 0 when the folder serves as it is; -1
// when the private folder cannot be made.
int PosixPrivateFolderIfShared(const char* host, char* made, size_t size);

// The free bytes and entries (inodes; UINT64_MAX where the file system counts
// none) for an unprivileged writer and the block size of the file system
// that holds host (or the nearest folder above it that exists).
bool PosixFreeSpace(const char* host, uint64_t* freeBytes, uint64_t* freeEntries, uint64_t* blockSize);
