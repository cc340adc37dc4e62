// The stub's window on the operating system. Everything that differs between
// Windows and Linux goes through these procedures; the Win32 backend calls the
// real API, the POSIX backend gives the same behaviour on Linux.
//
// Conventions: paths are NUL-terminated 8-bit texts in the stub's own form
// (Windows separators; the POSIX backend turns every backslash into a slash
// before it touches the file system). Results follow the stub's rule: 0 for
// success, 1 for failure, unless a procedure says otherwise.
#pragma once

#include <cstdint>
#include <cstdio>

// Message box styles and the answer letters of the "Overwrite file" question.
constexpr unsigned kMbOk = 0x00;
constexpr unsigned kMbIconQuestion = 0x20;

// Windows file attribute bits, also used by the POSIX backend.
constexpr unsigned kAttrReadOnly = 0x01;
constexpr unsigned kAttrHidden = 0x02;
constexpr unsigned kAttrSystem = 0x04;
constexpr unsigned kAttrFolder = 0x10;
constexpr unsigned kAttrArchive = 0x20;
constexpr unsigned kAttrNormal = 0x80;

// ---- process start and end -------------------------------------------------

// The stub's own entry, called by the backend's entry point (WinMain or main)
// with the process command line already available through PlatformCommandLine.
// argText is the argument text after the program name. Returns the exit code.
int StubMain(const char* argText);

// The whole process command line: GetCommandLineA on Windows; on POSIX formed
// from argv the way Windows forms it (program path in double quotes, each
// further argument separated by one blank and quoted when it holds a blank or
// is empty, and also when it is an absolute path such as /tmp/out, which the
// switch parser would otherwise read as the switch t).
const char* PlatformCommandLine();

// Registers the class "DolmSFX" and creates the hidden main window (never
// shown). Nothing on POSIX.
void PlatformCreateHiddenWindow();

// Ends the process at once with the given exit code.
[[noreturn]] void PlatformExitProcess(int code);

// ---- resources and user interface ------------------------------------------

// Loads string `id` of the stub's string table into buf (size bytes, always
// NUL-terminated); returns the length, 0 for an empty or missing string.
int PlatformLoadString(unsigned id, char* buf, int size);

// Shows a message box with no owner window and waits until it is closed.
// POSIX: writes "<caption>\n<text>\n\n" to standard error and returns as if OK
// had been pressed.
void PlatformMessageBox(const char* text, const char* caption, unsigned style);

// Runs the "Overwrite file" dialog (resource 103) modally with the question
// text. silent: place it topmost at 300,150. Writes the answer letter 'Y',
// 'N', 'A' or 'C' to *answer (the caller has set it to 'C' beforehand) and
// returns 0, or returns -1 when the dialog cannot be created.
// POSIX: asks on standard error and reads one answer line (y, n, a, c, any
// case) from standard input; end of input answers 'N', as closing the dialog.
int PlatformOverwriteDialog(const char* text, int silent, int* answer);

// ---- file system ---------------------------------------------------------

// fopen with the path in the stub's form.
FILE* PlatformOpenFile(const char* path, const char* mode);

// The system's temporary path (GetTempPathA), at most size-1 characters;
// returns its length (0 when there is none).
int PlatformTempPath(char* buf, int size);

// Creates one folder; result ignored by every caller but reported (0/1).
int PlatformCreateFolder(const char* path);

// Sets the Windows attributes of a path. POSIX: read-only removes the write
// permission bits, anything else gives the owner write permission back;
// hidden, system and archive have no meaning there and are ignored.
int PlatformSetAttributes(const char* path, unsigned attributes);

// Sets last-access and last-write time of a file to `seconds` since 1970 UTC
// (the file is opened for reading and writing to do so on Windows).
int PlatformSetFileTime(const char* path, uint32_t seconds);

int PlatformDeleteFile(const char* path);
int PlatformRemoveFolder(const char* path);

// Current folder of the process (at most size-1 characters, 0/1 result), and
// making a folder or a drive current. PlatformSetCurrentDrive takes a drive
// number (A = 1); on POSIX there are no drives and it succeeds.
int PlatformGetCurrentFolder(char* buf, int size);
int PlatformSetCurrentFolder(const char* path);
int PlatformSetCurrentDrive(int drive);

// True for a path that does not depend on the current folder: "X:\..." or
// "\\..." on Windows, "/..." on POSIX.
int PlatformIsAbsolutePath(const char* path);

// Directory search over "<folder>\*.*". The search handle is opaque.
struct PlatformFindEntry {
  char name[260];
  unsigned attributes;  // kAttr* bits, kAttrFolder for a folder
};
void* PlatformFindFirst(const char* pattern, PlatformFindEntry* entry);  // nullptr: nothing found
int PlatformFindNext(void* search, PlatformFindEntry* entry);           // 0: another entry
void PlatformFindClose(void* search);

// ---- launching -------------------------------------------------------------

// The program associated with a document (FindExecutableA with the file name
// and its folder). POSIX: the desktop's opener when one is installed. Writes
// an empty text when there is none.
void PlatformFindExecutable(const char* file, const char* folder, char* result, int size);

// Creates a process from a Windows-style command line in the current folder,
// with the stub's environment, and when wait is set waits for it without a
// time limit. Returns 0 when the process was created (and waited for when
// asked), 1 when it could not be created. POSIX: the command line is split
// into argv by the Windows rules.
int PlatformRunProcess(const char* commandLine, int wait);

// POSIX only meaning: gives the owner execute permission (nothing on Windows).
void PlatformMakeExecutable(const char* path);

// POSIX entry (called from main): keeps argv for PlatformCommandLine, then
// runs StubMain with the argument text.
int PosixEntry(int argc, char** argv);
