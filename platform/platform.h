// The stub's window on the operating system. Everything that differs between
// Windows and Linux goes through these procedures; the Win32 backend calls the
// real API, the POSIX backend gives the same behaviour on Linux.
//
// Paths are NUL-terminated 8-bit texts in the stub's own form (Windows
// separators; the POSIX backend turns every backslash into a slash before it
// touches the file system).
//
// Return convention, kept by every procedure of the stub's code:
//   bool    a predicate, or a platform operation whose only outcome is whether
//           it took place (true: it did);
//   Result  a procedure that can fail with one of the error numbers below
//           (Result::ok() when it did not); the details of a failure are kept
//           in the Fault record of the run;
//   void    nothing to report.
// Nothing below the run sequence shows a message or ends the process: errors
// travel up as values, and the run sequence alone turns them into messages
// and exit codes.
#pragma once

#include <cstdint>
#include <cstdio>

// The error numbers of the string table ("Error #N"), and three outcomes
// beyond them that end a run without a numbered message.
enum ErrorNumber : int16_t {
  kNoError = -1,
  kErrorCannotOpen = 0,        // a file could not be opened or created
  kErrorNotArchive = 1,        // not a valid archive
  kErrorDamaged = 2,           // a damaged data block
  kErrorWriteFailed = 3,       // data CRC or a write failed
  kErrorEndOfFile = 4,         // the archive ends inside a block
  kErrorPackingNames = 5,
  kErrorMeltingNames = 6,      // the solid header is damaged
  kErrorWritingHeader = 7,
  kErrorReadingHeader = 8,
  kErrorEndOfArchive = 9,      // the data ends before the last file
  kErrorSizeChanged = 10,
  kErrorCannotProcess = 11,    // the decoder memory cannot be reserved
  kErrorNoFiles = 12,
  kErrorLocked = 13,
  kErrorNoRecovery = 14,
  kErrorProtected = 15,
  kErrorInconsistent = 16,     // the data holds more than the files
  kErrorRewind = 17,
  kErrorNoMemory = 18,
  kErrorFirstOptions = 19,     // the stub image's own signature is missing
  kErrorReadOptions = 20,
  kErrorMarker = 21,           // no archive marker where the header belongs
  kErrorSecondOptions = 22,    // no appended archive
  kLastErrorNumber = 22,
  kStopCancelled = 23,         // Cancel at the overwrite question: exit code 1
  kStopNoTreePool = 24,        // the solid header's trees cannot be reserved: exit code 3
  kStopNoTableMemory = 25,     // the file table cannot grow: a line on standard output
  kSilentFailure = 26,         // a step failed without a message; the run goes on
  kNoAssociation = 27,         // a document that no program opens: string 43 in a box
  kNotWrittenByRun = 28,       // the execute file is not one this run wrote: not started
  kCannotStart = 29,           // the execute file could not be started
  kStopDamagedRecord = 30,     // the extension record fails its check: the archive is refused
  kStopNeedsNewer = 31,        // the extension record asks for more than this stub knows
  kStopUnsafeLink = 32,        // a stored symbolic link points outside the extraction folder
  kStopNameNotUtf8 = 33,       // a name of an archive whose record says UTF-8 is not: damage
  kStopNameNotOnSystem = 34,   // names the system's code page cannot hold (Windows 95/98)
};

struct [[nodiscard]] Result {
  ErrorNumber error;
  constexpr bool ok() const { return error == kNoError; }
};
constexpr Result kOk{kNoError};

// What went wrong and where: the first failure of a run. Invariant: error is
// kNoError exactly while nothing has failed, and then subject is "".
struct Fault {
  ErrorNumber error;
  int systemError;    // errno or GetLastError of a failed write, 0 when none
  int64_t offset;     // byte offset in the archive file, -1 when unknown
  char subject[520];  // the path or stored name concerned, "" when none
  char text[520];     // a ready message (the archive-marker error), or ""
};

// The fault record and the policy of one run. goOn is set by the run
// sequence from IgnoreErrors: after a failure a procedure goes on as far as
// it can when it is set, and returns the failure at once when it is not.
struct Faults {
  Fault first;
  bool goOn;
};
inline void ClearFaults(Faults* faults, bool goOn) {
  faults->first.error = kNoError;
  faults->first.systemError = 0;
  faults->first.offset = -1;
  faults->first.subject[0] = '\0';
  faults->first.text[0] = '\0';
  faults->goOn = goOn;
}
// Records a failure (the run keeps the first) and returns it as a Result.
inline Result NoteFault(Faults* faults, ErrorNumber error, const char* subject = "",
                        int64_t offset = -1, int systemError = 0) {
  Fault& f = faults->first;
  if (f.error == kNoError) {
    f.error = error;
    f.offset = offset;
    f.systemError = systemError;
    std::snprintf(f.subject, sizeof f.subject, "%s", subject ? subject : "");
  }
  return Result{error};
}

// Every path text of the stub: 259 characters and the terminating zero.
constexpr unsigned kPathSize = 260;
inline bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

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

// True when the processor has SSE2 and the system keeps its registers (a
// 32-bit build only asks; every x86-64 processor and system has both).
// Windows 95 keeps no SSE state, and has no IsProcessorFeaturePresent: no.
bool PlatformHasSse2();

// ---- threads (threads_posix.cpp, threads_win32.cpp) --------------------------

// The processors this process may run on, at least 1.
unsigned PlatformProcessorCount();
// A second thread of the process, and an event that one thread sets and
// another waits for: a wait returns once the event is set and clears it
// again (one waiter per event). Setting an event and returning from the wait
// for it order every memory access before the one against every one after
// the other.
struct PlatformThread;
struct PlatformEvent;
// Starts body(argument) on a new thread; null when no thread can be had.
PlatformThread* PlatformStartThread(void (*body)(void*), void* argument);
// Waits until the thread's body has returned, then frees what it held.
void PlatformJoinThread(PlatformThread* thread);
// A new event, clear; null when none can be had.
PlatformEvent* PlatformNewEvent();
void PlatformSetEvent(PlatformEvent* event);
void PlatformWaitEvent(PlatformEvent* event);
void PlatformFreeEvent(PlatformEvent* event);  // null is allowed

// ---- process start and end -------------------------------------------------

// The Windows stub's own entry, called by WinMain with the process command
// line available through PlatformCommandLine. argText is the argument text
// after the program name. Returns the exit code, with which the process
// ends. (The Linux stub's entry is its own main, which reads argv directly.)
int StubMain(const char* argText);

// The whole process command line (GetCommandLineA); Windows only.
const char* PlatformCommandLine();

// Registers the class "DolmSFX" and creates the hidden main window (never
// shown). Nothing on POSIX.
void PlatformCreateHiddenWindow();

// How a run ends, and the exit code that each platform gives it: Windows
// keeps its own (1 after Cancel, 3 without a tree pool, 0 otherwise); POSIX
// follows the shell's habits (0, the program's own status, 1 after Cancel,
// 3 without a tree pool, 4 after an error message, 126 when the program
// could not be started, 127 when it was not extracted).
enum RunEnd {
  kEndNormal,
  kEndProgramStatus,
  kEndErrorShown,
  kEndCancelled,
  kEndNoTreePool,
  kEndCannotStart,
  kEndNotExtracted,
  kEndWrongCommandLine,
};
int PlatformExitCode(RunEnd end, int programStatus);
// The exit codes that scripts can use: the POSIX table above, which the
// Windows stubs also give when the archive asks for it.
inline int ScriptExitCode(RunEnd end, int programStatus) {
  switch (end) {
    case kEndProgramStatus: return programStatus;
    case kEndErrorShown: return 4;
    case kEndCancelled: return 1;
    case kEndNoTreePool: return 3;
    case kEndCannotStart: return 126;
    case kEndNotExtracted: return 127;
    case kEndWrongCommandLine: return 2;
    default: return 0;
  }
}
// The system's reason for error code `code` (errno on POSIX, GetLastError on
// Windows) as text, at most size-1 characters.
void PlatformSystemReason(int code, char* buf, int size);

// ---- resources and user interface ------------------------------------------

// Loads string `id` of the stub's string table into buf (size bytes, always
// NUL-terminated); returns the length, 0 for an empty or missing string.
int PlatformLoadString(unsigned id, char* buf, int size);

// True where a message is a window that waits for the user (Windows); false
// where it is a line on standard error (POSIX).
bool PlatformMessagesWait();

// Shows a message box with no owner window and waits until it is closed.
// POSIX: writes "<caption>\n<text>\n\n" to standard error and returns as if OK
// had been pressed.
void PlatformMessageBox(const char* text, const char* caption, unsigned style);

// Runs the "Overwrite file" dialog (resource 103) modally with the question
// text. silent: place it topmost at 300,150. Writes the answer letter 'Y',
// 'N', 'A' or 'C' to *answer (the caller has set it to 'C' beforehand) and
// returns true, or returns false when the dialog cannot be created.
// POSIX: asks on standard error and reads one answer line (y, n, a, c, any
// case) from standard input; end of input answers 'N', as closing the dialog.
bool PlatformOverwriteDialog(const char* text, bool silent, int* answer);

// ---- the windows of an archive with the extension record --------------------

// True where the stub shows windows (Windows); the POSIX stub shows none of
// the three below (their POSIX versions do nothing).
bool PlatformHasWindows();

// A text as the archive stores it (UTF-8, not NUL-terminated); an empty one
// leaves a window's own caption.
struct PlatformText {
  const uint8_t* bytes;
  uint32_t length;
};
enum class WindowAnswer { kAccepted, kDeclined, kNoWindow };

// The licence window (dialog 110): text in a scrollable read-only field,
// Accept and Decline; closing it declines.
WindowAnswer PlatformLicenceWindow(PlatformText caption, PlatformText text);
// The "Extract to" window (dialog 111): folder (kPathSize bytes) in its field
// and a Browse button; on kAccepted folder holds the field's text.
WindowAnswer PlatformExtractToWindow(PlatformText caption, char* folder);

// The progress window (dialog 112), shown while the files are written.
struct PlatformProgress;
// Null when it cannot be shown.
PlatformProgress* PlatformOpenProgress(PlatformText caption);
// Shows the file's name and the overall percent and handles the window's
// pending messages; false once its Cancel has been pressed.
bool PlatformShowProgress(PlatformProgress* window, const char* name, unsigned percent);
void PlatformCloseProgress(PlatformProgress* window);  // null is allowed

// ---- names ------------------------------------------------------------------

// Says how this run's paths are written, once the archive's record is read
// (before any path of the extraction): as the classic archive stores names
// (8-bit text; the run's paths are the system's), or, for an archive whose
// record says its names are UTF-8, as UTF-8 throughout. Windows: UTF-8 paths
// go to the wide functions on NT and later, and are converted to the ANSI
// code page on Windows 95/98. POSIX: UTF-8 paths are used as they are, the
// classic ones read by the stored-name rule.
void PlatformUseUtf8Names(bool utf8);
// False when the system cannot bear the stored name (UTF-8): only on a
// Windows without wide file functions, for a name holding a character its
// ANSI code page lacks.
bool PlatformCanName(const char* name);
// A text the system gave the run before the record was read (its own path, a
// folder or a log file on the command line, words for the program) in the
// run's form, into out (size bytes): as it is, or, in a UTF-8 run on
// Windows, read from the ANSI code page. False when it does not fit.
bool PlatformTakeSystemText(const char* text, char* out, int size);

// ---- file system ---------------------------------------------------------

// fopen with the path in the stub's form.
FILE* PlatformOpenFile(const char* path, const char* mode);

// The system's temporary path (GetTempPathA), at most size-1 characters;
// returns its length (0 when there is none).
int PlatformTempPath(char* buf, int size);

// A folder of this run's own for the extraction when none is given or
// stored. POSIX: a fresh private folder (mode 0700) made inside $TMPDIR or
// /tmp, its path ending in '/', and *made set; error 0 naming the folder
// when it cannot be made. Windows: nothing (*made stays false), the per-user
// temporary path serves as it is.
Result PlatformMakeRunFolder(char* buf, int size, bool* made, Faults* faults);
// A fresh folder of this run's own below the system's temporary path, made
// by this call and never one that existed before (Windows: a random name,
// created again with another one while the name is taken), its path ending
// in a separator; error 0 naming the folder when none can be made. POSIX: as
// PlatformMakeRunFolder.
Result PlatformMakePrivateFolder(char* buf, int size, Faults* faults);
// The environment variables (%NAME%) in text expanded into out (size bytes);
// false when the result does not fit. POSIX: text as it is.
bool PlatformExpandEnvironment(const char* text, char* out, int size);
// True where the execute file is started only when this run wrote it
// (POSIX, whose temporary folders are shared by every user).
bool PlatformStartsOnlyWrittenFiles();
// One line for the user on standard error (POSIX); nothing on Windows.
void PlatformNotice(const char* text);
// True when a start failed for want of permission to run the file (a
// folder mounted noexec), rather than because the file is no program.
bool PlatformStartWasDenied(int startError);

// Creates one folder; true when a new folder was made.
bool PlatformCreateFolder(const char* path);

// ---- Unix modes and symbolic links (an archive with kEntryUnixModes) ---------
// True where stored modes are given and symbolic links made (POSIX); the
// Windows stubs pass links over and leave modes alone.
bool PlatformHasUnixFiles();
// Gives the file being written (the last one PlatformOpenFile opened with
// "wb+", still open) the permission bits of mode (07777), through its
// descriptor. Nothing on Windows.
bool PlatformSetWrittenFileMode(unsigned mode);
// Gives the folder path, a folder itself and not a link, the permission bits
// of mode. Nothing on Windows.
bool PlatformSetFolderMode(const char* path, unsigned mode);
// Makes path a symbolic link to target (bytes as stored, '/' separators),
// relative to the descriptor of the folder above it as PlatformOpenFile
// opens folders; what bears the name (not a folder) is replaced, never
// followed. False on Windows.
bool PlatformCreateLink(const char* path, const char* target);

// Sets the Windows attributes of a path. POSIX: read-only removes the write
// permission bits, anything else gives the owner write permission back;
// hidden, system and archive have no meaning there and are ignored.
bool PlatformSetAttributes(const char* path, unsigned attributes);

// Sets last-access and last-write time of a file to `seconds` since 1970 UTC
// (the file is opened for reading and writing to do so on Windows).
bool PlatformSetFileTime(const char* path, uint32_t seconds);

bool PlatformDeleteFile(const char* path);
bool PlatformRemoveFolder(const char* path);
// Waits about `milliseconds` before going on.
void PlatformSleep(unsigned milliseconds);

// True when anything bears the name path (a file, a folder, a link).
bool PlatformPathExists(const char* path);
// Gives the complete file `from` the name `to` in the same folder, in place
// of what bore it; false when `to` keeps what it had. POSIX: one rename (a
// folder, or a file the runner cannot read, is refused as PosixCreateFile
// refuses it). Windows: the old file moves to aside (a free name in that
// folder, "" for none) first and is deleted once the new one bears the name.
bool PlatformReplaceFile(const char* from, const char* to, const char* aside);

// Current folder of the process (at most size-1 characters), and making a
// folder or a drive current. PlatformSetCurrentDrive takes a drive number
// (A = 1); on POSIX there are no drives and it succeeds.
bool PlatformGetCurrentFolder(char* buf, int size);
bool PlatformSetCurrentFolder(const char* path);
bool PlatformSetCurrentDrive(int drive);

// True for a path that does not depend on the current folder: "X:\..." or
// "\\..." on Windows, "/..." on POSIX.
bool PlatformIsAbsolutePath(const char* path);
// The current folder of drive `letter` (GetFullPathNameA of "X:", which
// knows each drive's own current folder), for completing a drive-relative
// path such as "C:wo". False where there are no drives (POSIX).
bool PlatformDriveFolder(char letter, char* buf, int size);
// Whether the folder rules (making folders level by level, joining a folder
// and a name) take c for a separator: the backslash, and on POSIX also the
// slash, the system's own separator. A slash on Windows is a character of
// the folder's text there (it still separates when the system reads a path).
bool PlatformIsFolderBreak(char c);
// Whether the execute file's command line names it as the folder was given
// (Windows, where the program reads its own command line) rather than by
// the full path (POSIX, where it is argv[0] and is started as it reads).
bool PlatformNamesProgramAsGiven();

// Directory search over "<folder>\*.*". The search handle is opaque.
struct PlatformFindEntry {
  char name[260];
  unsigned attributes;  // kAttr* bits, kAttrFolder for a folder
};
void* PlatformFindFirst(const char* pattern, PlatformFindEntry* entry);  // nullptr: nothing found
bool PlatformFindNext(void* search, PlatformFindEntry* entry);          // true: another entry
void PlatformFindClose(void* search);

// ---- launching -------------------------------------------------------------

// The program associated with a document (FindExecutableA with the file name
// and its folder). POSIX: the desktop's opener when one is installed. Writes
// an empty text when there is none.
void PlatformFindExecutable(const char* file, const char* folder, char* result, int size);

// Creates a process from a Windows-style command line in the current folder,
// with the stub's environment, and waits for it without a time limit.
// Returns true when the process was created and has ended, with its exit status in *exitStatus (POSIX: 128 + the signal's
// number when a signal ended it); false with the system's error
// in *error. POSIX: the command line is split into argv by the Windows rules;
// a "#!" script that cannot be started itself (a noexec folder) is started
// through its interpreter; Ctrl-C and Ctrl-\ reach only the program while
// the stub waits. program, when not null, is the file to start (a full path),
// whatever the command line's first word says.
bool PlatformRunProcess(const char* commandLine, const char* program, int* exitStatus, int* error);

// POSIX only meaning: gives the owner execute permission (nothing on Windows).
void PlatformMakeExecutable(const char* path);

// POSIX: a file that begins with "#!" or the ELF magic gets execute
// permission wherever it may be read, as the umask allows (the archive
// stores Windows attributes only, so the content decides). Nothing on Windows.
void PlatformMarkProgram(const char* path);

// True for a file that the platform starts as a program although its name
// holds none of ".exe", ".com", ".bat": on POSIX a ".sh" ending, or a file
// that begins with "#!" or the ELF magic. Always false on Windows, where any
// other file is a document.
bool PlatformIsNativeProgram(const char* path);
