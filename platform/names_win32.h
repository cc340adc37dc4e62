// Win32 backend: the form in which this run's paths and texts reach the
// system. An archive without the names entry keeps its names in the
// system's code page and every path goes to the ANSI functions as it is. An
// archive whose record says its names are UTF-8 makes every path of the run
// UTF-8 (the system's own texts, the temporary folder or a folder typed on
// the command line, are read into it): on Windows NT and later the paths go
// to the wide functions, looked up at run time (Windows 95 as first shipped
// exports none that work); on Windows 95/98 each is converted to the ANSI
// code page, and a name the code page cannot hold is refused.
#pragma once
#ifdef _WIN32

#include <windows.h>

// How paths reach the system in this run.
enum class NameForm {
  kSystem,  // the ANSI functions, the path as it is (no names entry)
  kWide,    // UTF-8 paths through the wide functions (NT and later)
  kAnsi,    // UTF-8 paths converted to the ANSI code page (95/98)
};
NameForm CurrentNameForm();

// The wide functions of the NT systems, looked up by name.
struct WideFunctions {
  HANDLE(WINAPI* CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* CreateDirectoryW)(LPCWSTR, LPSECURITY_ATTRIBUTES);
  BOOL(WINAPI* SetFileAttributesW)(LPCWSTR, DWORD);
  BOOL(WINAPI* DeleteFileW)(LPCWSTR);
  BOOL(WINAPI* RemoveDirectoryW)(LPCWSTR);
  BOOL(WINAPI* MoveFileW)(LPCWSTR, LPCWSTR);
  HANDLE(WINAPI* FindFirstFileW)(LPCWSTR, LPWIN32_FIND_DATAW);
  BOOL(WINAPI* FindNextFileW)(HANDLE, LPWIN32_FIND_DATAW);
  DWORD(WINAPI* GetTempPathW)(DWORD, LPWSTR);
  DWORD(WINAPI* GetCurrentDirectoryW)(DWORD, LPWSTR);
  BOOL(WINAPI* SetCurrentDirectoryW)(LPCWSTR);
  DWORD(WINAPI* GetFullPathNameW)(LPCWSTR, DWORD, LPWSTR, LPWSTR*);
  DWORD(WINAPI* ExpandEnvironmentStringsW)(LPCWSTR, LPWSTR, DWORD);
  BOOL(WINAPI* CreateProcessW)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                               LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);
  int(WINAPI* MessageBoxW)(HWND, LPCWSTR, LPCWSTR, UINT);
  BOOL(WINAPI* SetWindowTextW)(HWND, LPCWSTR);
  UINT(WINAPI* GetDlgItemTextW)(HWND, int, LPWSTR, int);
  HINSTANCE(WINAPI* FindExecutableW)(LPCWSTR, LPCWSTR, LPWSTR);
};
// The functions of a kWide run (every one found, or the run is kAnsi).
const WideFunctions& Wide();

// Room for a path of the run in either form: the stub's paths hold at most
// 600 bytes (a current folder joined with a relative path), and one byte of
// UTF-8 never gives more than one UTF-16 unit or two ANSI bytes.
constexpr int kSystemChars = 1040;
struct SystemPath {
  bool wide;          // use `text` with a wide function, else `narrow`
  const char* narrow;
  WCHAR text[kSystemChars];
  char ansi[2 * kSystemChars];
};
// The run's path (or command line) in the form the system takes. False,
// with ERROR_INVALID_NAME as the last error, when it is not strict UTF-8,
// does not fit, or (kAnsi) holds a character the ANSI code page lacks.
bool ToSystem(const char* path, SystemPath* out);

// UTF-8 into UTF-16 (NUL-terminated, size units); false for text that is
// not strict UTF-8 or does not fit. Windows 95 has no CP_UTF8, so the
// decoding is the stub's own.
bool Utf8ToWide(const char* text, WCHAR* out, int size);
// The same for a text to show: a byte that starts no strict sequence (a
// damaged name, or one a message shortened in the middle of a character)
// is shown as \xNN.
bool Utf8ToWideShown(const char* text, WCHAR* out, int size);
// UTF-16 into UTF-8 (NUL-terminated, size bytes); false when it does not fit.
bool WideToUtf8(const WCHAR* text, char* out, int size);
// A text of the system (ANSI, as an A function gives it) in the run's form,
// into out (size bytes): as it is in a kSystem run, else UTF-8. False when
// it does not fit.
bool FromSystemAnsi(const char* text, char* out, int size);
// UTF-8 for a window of a kAnsi run: every character the ANSI code page
// lacks as \uXXXX, so that a name stays readable (size bytes).
void AnsiForDisplay(const char* text, char* out, int size);
// Sets a window's text given in the run's form.
void SetRunWindowText(HWND window, const char* text);

#endif  // _WIN32
