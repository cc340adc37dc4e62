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
      SetWindowTextA(GetDlgItem(dialog, ID_OW_QUESTION), gWin32.dialogText);
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
  CopyText(entry->name, sizeof entry->name, data.cFileName);
  entry->attributes = data.dwFileAttributes;
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
}

// ---- resources and user interface ------------------------------------------

int PlatformLoadString(unsigned id, char* buf, int size) {
  if (size <= 0) return 0;
  buf[0] = '\0';
  const int length = LoadStringA(GetModuleHandleA(nullptr), id, buf, size);
  return length > 0 ? length : 0;
}

bool PlatformMessagesWait() { return true; }

void PlatformMessageBox(const char* text, const char* caption, unsigned style) {
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

FILE* PlatformOpenFile(const char* path, const char* mode) { return std::fopen(path, mode); }

int PlatformTempPath(char* buf, int size) {
  if (size <= 0) return 0;
  const DWORD length = GetTempPathA(static_cast<DWORD>(size), buf);
  // A path that does not fit is reported as none rather than cut short.
  if (length == 0 || length >= static_cast<DWORD>(size)) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<int>(length);
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
    if (CreateDirectoryA(buf, nullptr)) {
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
  const DWORD length = ExpandEnvironmentStringsA(text, out, static_cast<DWORD>(size));
  // The length counts the terminating zero; 0 is a failure.
  return length != 0 && length <= static_cast<DWORD>(size);
}

bool PlatformStartsOnlyWrittenFiles() { return false; }

void PlatformNotice(const char* text) { (void)text; }

bool PlatformStartWasDenied(int startError) { return startError == ERROR_ACCESS_DENIED; }

bool PlatformCreateFolder(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

// Unix modes and symbolic links: passed over on Windows.
bool PlatformHasUnixFiles() { return false; }
bool PlatformSetWrittenFileMode(unsigned) { return false; }
bool PlatformSetFolderMode(const char*, unsigned) { return false; }
bool PlatformCreateLink(const char*, const char*) { return false; }

bool PlatformSetAttributes(const char* path, unsigned attributes) {
  return SetFileAttributesA(path, attributes) != 0;
}

bool PlatformSetFileTime(const char* path, uint32_t seconds) {
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
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

bool PlatformDeleteFile(const char* path) { return DeleteFileA(path) != 0; }

bool PlatformRemoveFolder(const char* path) { return RemoveDirectoryA(path) != 0; }

void PlatformSleep(unsigned milliseconds) { Sleep(milliseconds); }

bool PlatformPathExists(const char* path) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(path, &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool PlatformReplaceFile(const char* from, const char* to, const char* aside) {
  if (MoveFileA(from, to)) return true;
  // Windows 95 has no MoveFileExA: the old file moves aside, the new one takes
  // its name, and only then is the old one deleted (moved back on failure;
  // one that cannot be deleted, a running program, stays under aside).
  if (aside[0] == '\0' || !MoveFileA(to, aside)) return false;
  if (!MoveFileA(from, to)) {
    MoveFileA(aside, to);
    return false;
  }
  SetFileAttributesA(aside, FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(aside);
  return true;
}

bool PlatformGetCurrentFolder(char* buf, int size) {
  if (size <= 0) return false;
  const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
  if (length == 0 || length >= static_cast<DWORD>(size)) {
    buf[0] = '\0';
    return false;
  }
  return true;
}

bool PlatformSetCurrentFolder(const char* path) { return SetCurrentDirectoryA(path) != 0; }

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
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) return nullptr;
  FillEntry(data, entry);
  return search;
}

bool PlatformFindNext(void* search, PlatformFindEntry* entry) {
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(static_cast<HANDLE>(search), &data)) return false;
  FillEntry(data, entry);
  return true;
}

void PlatformFindClose(void* search) {
  if (search) FindClose(static_cast<HANDLE>(search));
}

// ---- launching -------------------------------------------------------------

void PlatformFindExecutable(const char* file, const char* folder, char* result, int size) {
  char program[MAX_PATH] = {};
  const HINSTANCE found = FindExecutableA(file, folder, program);
  // Values up to 32 are errors; the buffer is not trusted then.
  if (reinterpret_cast<INT_PTR>(found) <= 32) program[0] = '\0';
  CopyText(result, size, program);
}

bool PlatformRunProcess(const char* commandLine, const char* program, int* exitStatus, int* error) {
  *exitStatus = 0;
  *error = 0;
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

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  if (GetExitCodeProcess(process.hProcess, &status)) *exitStatus = static_cast<int>(status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
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
