// Win32 backend of the platform layer: the real API for the hidden window,
// resources, message boxes, the "Overwrite file" dialog, the file system and
// process creation, and the entry point (the stub has no C runtime start-up:
// see runtime_win32.cpp).
#ifdef _WIN32

#include <windows.h>
#if !defined(__x86_64__)
#include <cpuid.h>
#endif
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/names_win32.h"
#include "platform/platform.h"
#include "resources/resource.h"

namespace {

constexpr UINT kWindowClassStyle = CS_HREDRAW | CS_VREDRAW;
constexpr DWORD kHiddenWindowStyle = WS_SYSMENU | WS_MINIMIZEBOX;  // never visible
constexpr int kSilentDialogX = 300;
constexpr int kSilentDialogY = 150;
constexpr DWORD kCreationFlags = CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS;
// Seconds between 1601-01-01 (FILETIME origin) and 1970-01-01.
constexpr unsigned long long kEpochOffsetSeconds = 11644473600ull;
constexpr int kPrivateFolderAttempts = 100;  // names tried for the run's private folder

// Backend state. Invariant: dialogText and answer are set only while the
// overwrite dialog runs (answer is null otherwise).
struct Win32State {
  const char* dialogText;  // question put into control 1020
  int silent;              // place the dialog topmost at 300,150
  int* answer;             // the caller's answer slot
};
Win32State gWin32 = {};

// Window procedure of the hidden main window.
LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
    case WM_SIZE:
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

void SetAnswer(int letter) {
  if (gWin32.answer) *gWin32.answer = letter;
}

// The answer that each button of "Overwrite file" gives; 0 for other controls.
char AnswerOfButton(WORD id) {
  return id == ID_OW_YES ? 'Y' : id == ID_OW_YES_TO_ALL ? 'A' : id == ID_OW_NO ? 'N' : id == ID_OW_CANCEL ? 'C' : 0;
}

// Dialog procedure of "Overwrite file"; it returns 0 for every message, so
// the dialog manager does its default handling throughout.
INT_PTR CALLBACK OverwriteDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetRunWindowText(GetDlgItem(dialog, ID_OW_QUESTION), gWin32.dialogText);
      if (gWin32.silent) {
        // The size passed along is ignored because of SWP_NOSIZE.
        SetWindowPos(dialog, HWND_TOPMOST, kSilentDialogX, kSilentDialogY, 400, 150,
                     SWP_NOSIZE | SWP_SHOWWINDOW);
      }
      break;
    case WM_COMMAND:
      if (const char answer = AnswerOfButton(LOWORD(wParam))) {
        SetAnswer(answer);
        EndDialog(dialog, 0);
      }
      break;
    case WM_CLOSE:
      SetAnswer('N');
      EndDialog(dialog, 0);
      break;
    default:
      break;
  }
  return 0;
}

void CopyText(char* out, int size, const char* text) {
  if (size <= 0) return;
  std::snprintf(out, static_cast<size_t>(size), "%s", text ? text : "");
}

void FillEntry(const WIN32_FIND_DATAA& data, PlatformFindEntry* entry) {
  if (!FromSystemAnsi(data.cFileName, entry->name, sizeof entry->name)) entry->name[0] = '\0';
  entry->attributes = data.dwFileAttributes;
}

void FillEntry(const WIN32_FIND_DATAW& data, PlatformFindEntry* entry) {
  if (!WideToUtf8(data.cFileName, entry->name, sizeof entry->name)) entry->name[0] = '\0';
  entry->attributes = data.dwFileAttributes;
}

// A text the system gives, asked for in wide characters in a kWide run and
// in ANSI otherwise, into out in the run's form (size bytes). `wide` and
// `narrow` call the system and return its length as the W and A functions
// do (0: failure; size or more: the text does not fit).
template <typename WideCall, typename NarrowCall>
bool SystemText(WideCall wide, NarrowCall narrow, char* out, int size) {
  if (size <= 0) return false;
  out[0] = '\0';
  if (CurrentNameForm() == NameForm::kWide) {
    WCHAR text[kSystemChars];
    const DWORD length = wide(text, static_cast<DWORD>(kSystemChars));
    return length != 0 && length < static_cast<DWORD>(kSystemChars) && WideToUtf8(text, out, size);
  }
  char text[kPathSize * 2];
  const DWORD length = narrow(text, static_cast<DWORD>(sizeof text));
  if (length == 0 || length >= sizeof text || !FromSystemAnsi(text, out, size)) {
    out[0] = '\0';
    return false;
  }
  return true;
}

// A message box's or dialog's text in the run's form, as an ANSI window of a
// kAnsi run shows it.
void ShowableText(const char* text, char* out, int size) {
  if (CurrentNameForm() == NameForm::kAnsi) AnsiForDisplay(text, out, size);
  else CopyText(out, size, text);
}

}  // namespace

// ---- process start and end -------------------------------------------------

const char* PlatformCommandLine() { return GetCommandLineA(); }

void PlatformCreateHiddenWindow() {
  WNDCLASSA windowClass = {};
  windowClass.style = kWindowClassStyle;
  windowClass.lpfnWndProc = HiddenWindowProc;
  windowClass.hInstance = nullptr;
  windowClass.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));    // IDI_APPLICATION
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(5));
  windowClass.lpszClassName = "DolmSFX";
  RegisterClassA(&windowClass);
  // Neither result is used: the window only has to exist, hidden.
  CreateWindowExA(0, "DolmSFX", "Ostrel Win 95/98/NT DolmSFX module", kHiddenWindowStyle, 120,
                  120, 300, 300, nullptr, nullptr, nullptr, nullptr);
}

bool PlatformHasSse2() {
#if defined(__x86_64__)
  return true;
#else
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d) || (d & bit_SSE2) == 0) return false;
  // PF_XMMI64_INSTRUCTIONS_AVAILABLE: the system saves the SSE registers.
  typedef BOOL(WINAPI * FeatureTest)(DWORD);
  FeatureTest present = reinterpret_cast<FeatureTest>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsProcessorFeaturePresent")));
  return present != nullptr && present(10) != 0;
#endif
}

int PlatformExitCode(RunEnd end, int programStatus) {
  (void)programStatus;
  return end == kEndCancelled ? 1 : end == kEndNoTreePool ? 3 : 0;
}

void PlatformSystemReason(int code, char* buf, int size) {
  if (size <= 0) return;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(code), 0, buf, static_cast<DWORD>(size), nullptr);
  if (length == 0) {
    std::snprintf(buf, static_cast<size_t>(size), "system error %d", code);
    return;
  }
  // The system's text ends in a line break and often a blank: they go.
  size_t end = length < static_cast<DWORD>(size) ? length : static_cast<size_t>(size) - 1;
  while (end > 0 && static_cast<unsigned char>(buf[end - 1]) <= ' ') --end;
  buf[end] = '\0';
  char text[kPathSize * 2];
  CopyText(text, sizeof text, buf);
  if (!FromSystemAnsi(text, buf, size)) buf[0] = '\0';
}

// ---- resources and user interface ------------------------------------------

int PlatformLoadString(unsigned id, char* buf, int size) {
  if (size <= 0) return 0;
  buf[0] = '\0';
  int length = LoadStringA(GetModuleHandleA(nullptr), id, buf, size);
  // A UTF-8 run's messages are UTF-8 throughout.
  if (length > 0 && CurrentNameForm() != NameForm::kSystem) {
    char text[kPathSize * 2];
    CopyText(text, sizeof text, buf);
    length = FromSystemAnsi(text, buf, size) ? static_cast<int>(std::strlen(buf)) : 0;
  }
  return length > 0 ? length : 0;
}

bool PlatformMessagesWait() { return true; }

void PlatformMessageBox(const char* text, const char* caption, unsigned style) {
  if (CurrentNameForm() == NameForm::kWide) {
    WCHAR wideText[2 * kSystemChars];
    WCHAR wideCaption[kSystemChars];
    if (Utf8ToWideShown(text, wideText, 2 * kSystemChars) && Utf8ToWideShown(caption, wideCaption, kSystemChars)) {
      Wide().MessageBoxW(nullptr, wideText, wideCaption, style);
      return;
    }
  }
  if (CurrentNameForm() == NameForm::kAnsi) {
    char shownText[4 * kSystemChars];
    char shownCaption[kSystemChars];
    ShowableText(text, shownText, sizeof shownText);
    ShowableText(caption, shownCaption, sizeof shownCaption);
    MessageBoxA(nullptr, shownText, shownCaption, style);
    return;
  }
  MessageBoxA(nullptr, text, caption, style);
}

bool PlatformOverwriteDialog(const char* text, bool silent, int* answer) {
  gWin32.dialogText = text;
  gWin32.silent = silent;
  gWin32.answer = answer;
  const INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_OVERWRITE),
                                         nullptr, OverwriteDialogProc, 0);
  gWin32.dialogText = nullptr;
  gWin32.answer = nullptr;
  return result != -1;
}

// ---- file system ---------------------------------------------------------

FILE* PlatformOpenFile(const char* path, const char* mode) {
  SystemPath name;
  if (!ToSystem(path, &name)) return nullptr;
  if (!name.wide) return std::fopen(name.narrow, mode);
  // The modes of the backend's fopen (runtime_win32.cpp), whose files are
  // the handles themselves.
  const bool write = mode[0] == 'w';
  DWORD access = write ? GENERIC_WRITE : GENERIC_READ;
  for (const char* m = mode; *m != '\0'; ++m)
    if (*m == '+') access = GENERIC_READ | GENERIC_WRITE;
  HANDLE file = Wide().CreateFileW(name.text, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<FILE*>(file);
}

int PlatformTempPath(char* buf, int size) {
  // A path that does not fit is reported as none rather than cut short.
  const bool got = SystemText([](WCHAR* text, DWORD room) { return Wide().GetTempPathW(room, text); },
                              [](char* text, DWORD room) { return GetTempPathA(room, text); }, buf, size);
  return got ? static_cast<int>(std::strlen(buf)) : 0;
}

Result PlatformMakeRunFolder(char* buf, int size, bool* made, Faults* faults) {
  (void)buf;
  (void)size;
  (void)faults;
  *made = false;
  return kOk;
}

Result PlatformMakePrivateFolder(char* buf, int size, Faults* faults) {
  char base[kPathSize];
  if (PlatformTempPath(base, sizeof base) == 0) return NoteFault(faults, kErrorCannotOpen, "%TEMP%");
  // The name only has to be hard to guess ahead: CreateDirectoryA fails for a
  // folder that exists, so the one made is always new.
  uint32_t state = GetTickCount() ^ (GetCurrentProcessId() * 2654435761u) ^
                   static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&base));
  DWORD error = 0;
  for (int attempt = 0; attempt < kPrivateFolderAttempts; ++attempt) {
    state = state * 1664525u + 1013904223u;
    const int length = std::snprintf(buf, static_cast<size_t>(size), "%sdolm%08X", base,
                                     static_cast<unsigned>(state ^ (state >> 16)));
    if (length < 0 || length + 2 > size) return NoteFault(faults, kErrorCannotOpen, base);
    if (PlatformCreateFolder(buf)) {
      buf[length] = '\\';
      buf[length + 1] = '\0';
      return kOk;
    }
    error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) break;
  }
  return NoteFault(faults, kErrorCannotOpen, buf, -1, static_cast<int>(error));
}

bool PlatformExpandEnvironment(const char* text, char* out, int size) {
  SystemPath given;
  if (!ToSystem(text, &given)) return false;
  // The length counts the terminating zero; 0 is a failure.
  if (CurrentNameForm() == NameForm::kSystem) {
    const DWORD length = ExpandEnvironmentStringsA(text, out, static_cast<DWORD>(size));
    return length != 0 && length <= static_cast<DWORD>(size);
  }
  return SystemText(
      [&given](WCHAR* expanded, DWORD room) {
        const DWORD length = Wide().ExpandEnvironmentStringsW(given.text, expanded, room);
        return length == 0 ? 0 : length - 1;
      },
      [&given](char* expanded, DWORD room) {
        const DWORD length = ExpandEnvironmentStringsA(given.narrow, expanded, room);
        return length == 0 ? 0 : length - 1;
      },
      out, size);
}

bool PlatformStartsOnlyWrittenFiles() { return false; }

void PlatformNotice(const char* text) { (void)text; }

bool PlatformStartWasDenied(int startError) { return startError == ERROR_ACCESS_DENIED; }

bool PlatformCreateFolder(const char* path) {
  SystemPath name;
  if (!ToSystem(path, &name)) return false;
  return (name.wide ? Wide().CreateDirectoryW(name.text, nullptr) : CreateDirectoryA(name.narrow, nullptr)) != 0;
}

// Unix modes and symbolic links: passed over on Windows.
bool PlatformHasUnixFiles() { return false; }
bool PlatformSetWrittenFileMode(unsigned) { return false; }
bool PlatformSetFolderMode(const char*, unsigned) { return false; }
bool PlatformCreateLink(const char*, const char*) { return false; }

bool PlatformSetAttributes(const char* path, unsigned attributes) {
  SystemPath name;
  if (!ToSystem(path, &name)) return false;
  return (name.wide ? Wide().SetFileAttributesW(name.text, attributes) : SetFileAttributesA(name.narrow, attributes)) != 0;
}

bool PlatformSetFileTime(const char* path, uint32_t seconds) {
  SystemPath name;
  if (!ToSystem(path, &name)) return false;
  HANDLE file = name.wide ? Wide().CreateFileW(name.text, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr)
                          : CreateFileA(name.narrow, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const unsigned long long ticks = (seconds + kEpochOffsetSeconds) * 10000000ull;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const BOOL done = SetFileTime(file, nullptr, &time, &time);
  CloseHandle(file);
  return done != 0;
}

bool PlatformDeleteFile(const char* path) {
  SystemPath name;
  if (!ToSystem(path, &name)) return false;
  return (name.wide ? Wide().DeleteFileW(name.text) : DeleteFileA(name.narrow)) != 0;
}

bool PlatformRemoveFolder(const char* path) {
  SystemPath name;
  if (!ToSystem(path, &name)) return false;
  return (name.wide ? Wide().RemoveDirectoryW(name.text) : RemoveDirectoryA(name.narrow)) != 0;
}

void PlatformSleep(unsigned milliseconds) { Sleep(milliseconds); }

bool PlatformPathExists(const char* path) {
  SystemPath name;
  // A name the system cannot bear is borne by nothing.
  if (!ToSystem(path, &name)) return false;
  WIN32_FIND_DATAA data;
  WIN32_FIND_DATAW wideData;
  HANDLE search = name.wide ? Wide().FindFirstFileW(name.text, &wideData) : FindFirstFileA(name.narrow, &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

namespace {

bool MovePath(const char* from, const char* to) {
  SystemPath source, target;
  if (!ToSystem(from, &source) || !ToSystem(to, &target)) return false;
  return (source.wide ? Wide().MoveFileW(source.text, target.text) : MoveFileA(source.narrow, target.narrow)) != 0;
}

}  // namespace

bool PlatformReplaceFile(const char* from, const char* to, const char* aside) {
  if (MovePath(from, to)) return true;
  // Windows 95 has no MoveFileExA: the old file moves aside, the new one takes
  // its name, and only then is the old one deleted (moved back on failure;
  // one that cannot be deleted, a running program, stays under aside).
  if (aside[0] == '\0' || !MovePath(to, aside)) return false;
  if (!MovePath(from, to)) {
    MovePath(aside, to);
    return false;
  }
  PlatformSetAttributes(aside, FILE_ATTRIBUTE_NORMAL);
  PlatformDeleteFile(aside);
  return true;
}

bool PlatformGetCurrentFolder(char* buf, int size) {
  if (CurrentNameForm() == NameForm::kSystem) {
    if (size <= 0) return false;
    const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
    if (length == 0 || length >= static_cast<DWORD>(size)) {
      buf[0] = '\0';
      return false;
    }
    return true;
  }
  return SystemText([](WCHAR* text, DWORD room) { return Wide().GetCurrentDirectoryW(room, text); },
                    [](char* text, DWORD room) { return GetCurrentDirectoryA(room, text); }, buf, size);
}

bool PlatformSetCurrentFolder(const char* path) {
  SystemPath name;
  if (!ToSystem(path, &name)) return false;
  return (name.wide ? Wide().SetCurrentDirectoryW(name.text) : SetCurrentDirectoryA(name.narrow)) != 0;
}

bool PlatformSetCurrentDrive(int drive) {
  if (drive < 1 || drive > 26) return false;
  // "X:" alone makes drive X current with its own current folder.
  const char root[3] = {static_cast<char>('A' + drive - 1), ':', '\0'};
  return SetCurrentDirectoryA(root) != 0;
}

bool PlatformIsAbsolutePath(const char* path) {
  const char c = path[0];
  const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  if (letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
  return path[0] == '\\' && path[1] == '\\';
}

bool PlatformDriveFolder(char letter, char* buf, int size) {
  if (size <= 0) return false;
  const char drive[3] = {letter, ':', '\0'};
  if (CurrentNameForm() != NameForm::kSystem) {
    const WCHAR wideDrive[3] = {static_cast<WCHAR>(static_cast<unsigned char>(letter)), L':', 0};
    return SystemText(
        [&wideDrive](WCHAR* text, DWORD room) {
          WCHAR* name = nullptr;
          return Wide().GetFullPathNameW(wideDrive, room, text, &name);
        },
        [&drive](char* text, DWORD room) {
          char* name = nullptr;
          return GetFullPathNameA(drive, room, text, &name);
        },
        buf, size);
  }
  char* name = nullptr;
  const DWORD length = GetFullPathNameA(drive, static_cast<DWORD>(size), buf, &name);
  if (length == 0 || length >= static_cast<DWORD>(size)) {
    buf[0] = '\0';
    return false;
  }
  return true;
}

bool PlatformIsFolderBreak(char c) { return c == '\\'; }

bool PlatformNamesProgramAsGiven() { return true; }

void* PlatformFindFirst(const char* pattern, PlatformFindEntry* entry) {
  SystemPath name;
  if (!ToSystem(pattern, &name)) return nullptr;
  WIN32_FIND_DATAA data;
  WIN32_FIND_DATAW wideData;
  HANDLE search = name.wide ? Wide().FindFirstFileW(name.text, &wideData) : FindFirstFileA(name.narrow, &data);
  if (search == INVALID_HANDLE_VALUE) return nullptr;
  if (name.wide) FillEntry(wideData, entry);
  else FillEntry(data, entry);
  return search;
}

bool PlatformFindNext(void* search, PlatformFindEntry* entry) {
  if (CurrentNameForm() == NameForm::kWide) {
    WIN32_FIND_DATAW wideData;
    if (!Wide().FindNextFileW(static_cast<HANDLE>(search), &wideData)) return false;
    FillEntry(wideData, entry);
    return true;
  }
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(static_cast<HANDLE>(search), &data)) return false;
  FillEntry(data, entry);
  return true;
}

void PlatformFindClose(void* search) {
  if (search) FindClose(static_cast<HANDLE>(search));
}

// ---- launching -------------------------------------------------------------

namespace {

// Waits for the started process and takes its exit status.
bool WaitForProcess(const PROCESS_INFORMATION& process, int* exitStatus) {
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  if (GetExitCodeProcess(process.hProcess, &status)) *exitStatus = static_cast<int>(status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace

void PlatformFindExecutable(const char* file, const char* folder, char* result, int size) {
  CopyText(result, size, "");
  SystemPath fileName, folderName;
  if (!ToSystem(file, &fileName) || !ToSystem(folder, &folderName)) return;
  // Values up to 32 are errors; the buffer is not trusted then.
  if (fileName.wide) {
    WCHAR program[MAX_PATH] = {};
    const HINSTANCE found = Wide().FindExecutableW(fileName.text, folderName.text, program);
    if (reinterpret_cast<INT_PTR>(found) > 32 && !WideToUtf8(program, result, size)) CopyText(result, size, "");
    return;
  }
  char program[MAX_PATH] = {};
  const HINSTANCE found = FindExecutableA(fileName.narrow, folderName.narrow, program);
  if (reinterpret_cast<INT_PTR>(found) <= 32) program[0] = '\0';
  if (!FromSystemAnsi(program, result, size)) CopyText(result, size, "");
}

namespace {

// CreateProcessW for a kWide run: the command line and program as UTF-16
// (CreateProcessW may write into the command line, which is its own copy).
bool CreateWideProcess(const char* commandLine, const char* program, PROCESS_INFORMATION* process, int* error) {
  WCHAR* line = static_cast<WCHAR*>(std::malloc(sizeof(WCHAR) * (std::strlen(commandLine) + 1)));
  SystemPath programName;
  const bool named = line != nullptr && Utf8ToWide(commandLine, line, static_cast<int>(std::strlen(commandLine) + 1)) &&
                     (program == nullptr || ToSystem(program, &programName));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  LPCH environment = GetEnvironmentStrings();
  const BOOL created = named && Wide().CreateProcessW(program ? programName.text : nullptr, line, nullptr, nullptr,
                                                      FALSE, kCreationFlags, environment, nullptr, &startup, process);
  FreeEnvironmentStringsA(environment);
  std::free(line);
  if (!created) *error = named ? static_cast<int>(GetLastError()) : ERROR_INVALID_NAME;
  return created != 0;
}

}  // namespace

bool PlatformRunProcess(const char* commandLine, const char* program, int* exitStatus, int* error) {
  *exitStatus = 0;
  *error = 0;
  if (CurrentNameForm() == NameForm::kWide) {
    PROCESS_INFORMATION process = {};
    if (!CreateWideProcess(commandLine, program, &process, error)) return false;
    return WaitForProcess(process, exitStatus);
  }
  // A kAnsi run's command line goes to the system in the ANSI code page.
  SystemPath line, programName;
  if (!ToSystem(commandLine, &line) || (program != nullptr && !ToSystem(program, &programName))) {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  commandLine = line.narrow;
  if (program != nullptr) program = programName.narrow;
  // CreateProcessA may write into the command line, so it gets a copy.
  const size_t length = std::strlen(commandLine) + 1;
  char* writable = static_cast<char*>(std::malloc(length));
  if (!writable) return false;
  std::memcpy(writable, commandLine, length);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process = {};

  LPCH environment = GetEnvironmentStrings();
  const BOOL created = CreateProcessA(program, writable, nullptr, nullptr, FALSE, kCreationFlags,
                                      environment, nullptr, &startup, &process);
  FreeEnvironmentStringsA(environment);
  std::free(writable);
  if (!created) {
    *error = static_cast<int>(GetLastError());
    return false;
  }

  return WaitForProcess(process, exitStatus);
}

void PlatformMakeExecutable(const char* path) { (void)path; }

void PlatformMarkProgram(const char* path) { (void)path; }

bool PlatformIsNativeProgram(const char* path) {
  (void)path;
  return false;
}

// ---- entry -------------------------------------------------------------------

// The process entry (the linker's default for a GUI program). The argument
// text is formed as the C runtime start-up forms it: skip the program name
// (quoted: up to and past the closing quote; else up to the first character
// of code 0x20 or less), then every character from 1 to 0x20. The 32-bit
// entry aligns the stack for the SSE2 decoder's spills.
#if defined(__x86_64__)
#define DOLM_ENTRY_ALIGN
#else
#define DOLM_ENTRY_ALIGN __attribute__((force_align_arg_pointer))
#endif
extern "C" DOLM_ENTRY_ALIGN void WinMainCRTStartup() {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(GetCommandLineA());
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p > 0x20) ++p;
  }
  while (*p && *p <= 0x20) ++p;
  ExitProcess(static_cast<UINT>(StubMain(reinterpret_cast<const char*>(p))));
}

#endif  // _WIN32
