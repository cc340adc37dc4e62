// Win32 backend: this run's name form (platform/names_win32.h), the wide
// functions looked up at run time, and the conversions between the run's
// UTF-8 and the system's UTF-16 and ANSI texts.
#ifdef _WIN32

#include "platform/names_win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/stored_names.h"
#include "platform/platform.h"

namespace {

// Backend state: set once per run, before its first path, by
// PlatformUseUtf8Names.
struct NameState {
  NameForm form;
  WideFunctions wide;
};
NameState gNames = {NameForm::kSystem, {}};

template <typename Function>
bool Find(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

// Every wide function, and a probe: Windows 95 and 98 export most of them
// as stubs that fail (ERROR_CALL_NOT_IMPLEMENTED), so the current folder is
// asked for once.
bool FindWideFunctions(WideFunctions* w) {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const HMODULE user = GetModuleHandleA("user32.dll");
  const HMODULE shell = GetModuleHandleA("shell32.dll");
  if (kernel == nullptr || user == nullptr || shell == nullptr) return false;
  const bool found =
      Find(kernel, "CreateFileW", &w->CreateFileW) && Find(kernel, "CreateDirectoryW", &w->CreateDirectoryW) &&
      Find(kernel, "SetFileAttributesW", &w->SetFileAttributesW) && Find(kernel, "DeleteFileW", &w->DeleteFileW) &&
      Find(kernel, "RemoveDirectoryW", &w->RemoveDirectoryW) && Find(kernel, "MoveFileW", &w->MoveFileW) &&
      Find(kernel, "FindFirstFileW", &w->FindFirstFileW) && Find(kernel, "FindNextFileW", &w->FindNextFileW) &&
      Find(kernel, "GetTempPathW", &w->GetTempPathW) && Find(kernel, "GetCurrentDirectoryW", &w->GetCurrentDirectoryW) &&
      Find(kernel, "SetCurrentDirectoryW", &w->SetCurrentDirectoryW) &&
      Find(kernel, "GetFullPathNameW", &w->GetFullPathNameW) &&
      Find(kernel, "ExpandEnvironmentStringsW", &w->ExpandEnvironmentStringsW) &&
      Find(kernel, "CreateProcessW", &w->CreateProcessW) && Find(user, "MessageBoxW", &w->MessageBoxW) &&
      Find(user, "SetWindowTextW", &w->SetWindowTextW) && Find(user, "GetDlgItemTextW", &w->GetDlgItemTextW) &&
      Find(shell, "FindExecutableW", &w->FindExecutableW);
  WCHAR probe[4];
  return found && w->GetCurrentDirectoryW(4, probe) != 0;
}

// A test build can be told to take the path of Windows 95/98 (DOLM_ANSI_NAMES=1),
// so that the refusal of names the code page lacks can be shown under Wine.
bool AnsiForced() {
#ifdef DOLM_TEST_HOOKS
  char value[4];
  const DWORD length = GetEnvironmentVariableA("DOLM_ANSI_NAMES", value, sizeof value);
  return length == 1 && value[0] == '1';
#else
  return false;
#endif
}

// Appends one UTF-16 unit; false when it and the terminating zero do not fit.
bool PutUnit(unsigned unit, WCHAR* out, int size, int* o) {
  if (*o + 1 >= size) return false;
  out[(*o)++] = static_cast<WCHAR>(unit);
  return true;
}

bool PutBytes(const char* bytes, size_t count, char* out, int size, int* o) {
  if (*o + static_cast<int>(count) >= size) return false;
  std::memcpy(out + *o, bytes, count);
  *o += static_cast<int>(count);
  return true;
}

// One character as UTF-8 into bytes; returns how many.
size_t EncodeUtf8(unsigned point, char* bytes) {
  if (point < 0x80) return bytes[0] = static_cast<char>(point), 1;
  if (point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (point >> 6));
    bytes[1] = static_cast<char>(0x80 | (point & 0x3F));
    return 2;
  }
  if (point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (point & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (point >> 18));
  bytes[1] = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (point & 0x3F));
  return 4;
}

// UTF-16 into the ANSI code page: the length, or 0 when a character is
// missing there or comes back as another one (the system's best fit: U+0100
// to "A").
int WideToAnsi(const WCHAR* wide, int units, char* out, int size) {
  BOOL missing = FALSE;
  const int length = WideCharToMultiByte(CP_ACP, 0, wide, units, out, size, nullptr, &missing);
  if (length <= 0 || missing) return 0;
  WCHAR back[kSystemChars];
  const int backLength = MultiByteToWideChar(CP_ACP, 0, out, length, back, kSystemChars);
  const bool same = backLength == units && std::memcmp(back, wide, sizeof(WCHAR) * static_cast<size_t>(units)) == 0;
  return same ? length : 0;
}

int WideLength(const WCHAR* text) {
  int n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// One character for a window of a kAnsi run: as the code page has it, else
// its number. Returns the bytes written to piece.
int AnsiPiece(unsigned point, char* piece, int size) {
  if (point < 0x80) {
    piece[0] = static_cast<char>(point);
    return 1;
  }
  const bool pair = point >= 0x10000;
  const WCHAR units[2] = {static_cast<WCHAR>(pair ? 0xD800 + ((point - 0x10000) >> 10) : point),
                          static_cast<WCHAR>(pair ? 0xDC00 + ((point - 0x10000) & 0x3FF) : 0)};
  const int length = WideToAnsi(units, pair ? 2 : 1, piece, size);
  if (length > 0) return length;
  return std::snprintf(piece, static_cast<size_t>(size), pair ? "\\U%08X" : "\\u%04X", point);
}

// UTF-8 into UTF-16; a byte that starts no strict sequence fails the
// conversion, or, for a text to show, is shown as \xNN.
bool Decode(const char* text, WCHAR* out, int size, bool shown) {
  const size_t length = std::strlen(text);
  int o = 0;
  for (size_t i = 0; i < length;) {
    const size_t sequence = StrictUtf8Length(text, i, length);
    if (sequence == 0 && !shown) return false;
    if (sequence == 0) {
      // Shown by its number, as the listings show it.
      static const char kDigits[] = "0123456789abcdef";
      const unsigned char c = static_cast<unsigned char>(text[i++]);
      const unsigned units[4] = {'\\', 'x', static_cast<unsigned>(kDigits[c >> 4]), static_cast<unsigned>(kDigits[c & 15])};
      for (unsigned unit : units)
        if (!PutUnit(unit, out, size, &o)) return false;
      continue;
    }
    const unsigned point = Utf8Character(text, i, sequence);
    i += sequence;
    const bool pair = point >= 0x10000;
    if (pair && !PutUnit(0xD800 + ((point - 0x10000) >> 10), out, size, &o)) return false;
    if (!PutUnit(pair ? 0xDC00 + ((point - 0x10000) & 0x3FF) : point, out, size, &o)) return false;
  }
  if (size <= 0) return false;
  out[o] = 0;
  return true;
}

}  // namespace

NameForm CurrentNameForm() { return gNames.form; }

const WideFunctions& Wide() { return gNames.wide; }

void PlatformUseUtf8Names(bool utf8) {
  if (!utf8) {
    gNames.form = NameForm::kSystem;
    return;
  }
  gNames.form = !AnsiForced() && FindWideFunctions(&gNames.wide) ? NameForm::kWide : NameForm::kAnsi;
}

bool Utf8ToWide(const char* text, WCHAR* out, int size) { return Decode(text, out, size, false); }

bool Utf8ToWideShown(const char* text, WCHAR* out, int size) { return Decode(text, out, size, true); }

bool WideToUtf8(const WCHAR* text, char* out, int size) {
  int o = 0;
  for (const WCHAR* p = text; *p != 0; ++p) {
    unsigned point = *p;
    if (point >= 0xD800 && point < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000)
      point = 0x10000 + ((point - 0xD800) << 10) + (*++p - 0xDC00);
    else if (point >= 0xD800 && point < 0xE000)
      point = 0xFFFD;  // a lone surrogate has no UTF-8 form
    char bytes[4];
    if (!PutBytes(bytes, EncodeUtf8(point, bytes), out, size, &o)) return false;
  }
  if (size <= 0) return false;
  out[o] = '\0';
  return true;
}

bool ToSystem(const char* path, SystemPath* out) {
  out->wide = false;
  out->narrow = path;
  if (gNames.form == NameForm::kSystem) return true;
  bool ok = Utf8ToWide(path, out->text, kSystemChars);
  if (ok && gNames.form == NameForm::kWide) {
    out->wide = true;
    return true;
  }
  // The terminating zero is converted with the text.
  ok = ok && WideToAnsi(out->text, WideLength(out->text) + 1, out->ansi, sizeof out->ansi) > 0;
  out->narrow = out->ansi;
  if (!ok) SetLastError(ERROR_INVALID_NAME);
  return ok;
}

bool FromSystemAnsi(const char* text, char* out, int size) {
  if (gNames.form == NameForm::kSystem) return size > 0 && std::snprintf(out, static_cast<size_t>(size), "%s", text) < size;
  WCHAR wide[kSystemChars];
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kSystemChars) <= 0) return false;
  return WideToUtf8(wide, out, size);
}

void AnsiForDisplay(const char* text, char* out, int size) {
  const size_t length = std::strlen(text);
  int o = 0;
  for (size_t i = 0; i < length;) {
    const size_t sequence = StrictUtf8Length(text, i, length);
    char piece[16];
    const int pieceLength =
        sequence == 0 ? std::snprintf(piece, sizeof piece, "\\x%02X", static_cast<unsigned char>(text[i]))
                      : AnsiPiece(Utf8Character(text, i, sequence), piece, sizeof piece);
    i += sequence == 0 ? 1 : sequence;
    if (o + pieceLength >= size) break;
    std::memcpy(out + o, piece, static_cast<size_t>(pieceLength));
    o += pieceLength;
  }
  if (size > 0) out[o] = '\0';
}

void SetRunWindowText(HWND window, const char* text) {
  if (gNames.form == NameForm::kSystem) {
    SetWindowTextA(window, text);
    return;
  }
  // A licence may take 64 KiB: the converted text goes on the heap. A byte
  // gives at most four units (\xNN), or an escape of ten bytes per
  // character of four.
  const size_t length = std::strlen(text);
  const int room = static_cast<int>(4 * length + 16);
  void* converted = std::malloc(sizeof(WCHAR) * static_cast<size_t>(room));
  if (converted == nullptr) return;
  WCHAR* wide = static_cast<WCHAR*>(converted);
  if (gNames.form == NameForm::kWide && Utf8ToWideShown(text, wide, room)) {
    gNames.wide.SetWindowTextW(window, wide);
  } else if (gNames.form == NameForm::kAnsi) {
    AnsiForDisplay(text, static_cast<char*>(converted), static_cast<int>(sizeof(WCHAR)) * room);
    SetWindowTextA(window, static_cast<char*>(converted));
  }
  std::free(converted);
}

bool PlatformTakeSystemText(const char* text, char* out, int size) { return FromSystemAnsi(text, out, size); }

bool PlatformCanName(const char* name) {
  if (gNames.form != NameForm::kAnsi) return true;
  SystemPath path;
  return ToSystem(name, &path);
}

#endif  // _WIN32
