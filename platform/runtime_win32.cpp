// Win32 backend: the few C library routines that the stub's code calls,
// written over KERNEL32 so that the Windows stubs need no C runtime DLL
// (Windows 95 as first shipped carried none that mingw's code expects).
// Files are Win32 handles used directly as FILE pointers, unbuffered; memory
// comes from the process heap; formatting knows the conversions the stub
// uses (%s %d %i %u %x %X %c %p %% with flags, width, precision and length).
// No C headers here: these are the definitions of what they declare.
#ifdef _WIN32

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Names as the C compiler spells them ("_" before C names on i686).
#define DOLM_STRING2(x) #x
#define DOLM_STRING(x) DOLM_STRING2(x)
#define DOLM_C_NAME(name) DOLM_STRING(__USER_LABEL_PREFIX__) #name

struct _iobuf;  // FILE: here a Win32 file handle

namespace {

int gLastError = 0;  // errno: the last failed file call's GetLastError

HANDLE AsHandle(_iobuf* file) { return reinterpret_cast<HANDLE>(file); }

int* ErrnoSlot() { return &gLastError; }

// stdin, stdout, stderr as the standard handles of the process (none in a
// GUI program started from Explorer: writes to them then fail quietly).
_iobuf* StandardStream(unsigned index) {
  const DWORD which = index == 0 ? STD_INPUT_HANDLE : index == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
  return reinterpret_cast<_iobuf*>(GetStdHandle(which));
}

// One formatted text, cut at size-1 characters; returns the length that the
// whole text would have.
struct Sink {
  char* out;
  size_t size;
  size_t length;
};

void Put(Sink* sink, char c) {
  if (sink->length + 1 < sink->size) sink->out[sink->length] = c;
  ++sink->length;
}

void PutPadded(Sink* sink, const char* text, size_t count, int width, bool left, char pad) {
  size_t fill = width > 0 && static_cast<size_t>(width) > count ? static_cast<size_t>(width) - count : 0;
  if (!left && pad == '0' && count > 0 && (*text == '-' || *text == '+' || *text == ' ')) {
    Put(sink, *text++);  // the sign goes before the zeros
    --count;
  }
  if (!left) while (fill > 0) Put(sink, pad), --fill;
  for (size_t i = 0; i < count; ++i) Put(sink, text[i]);
  while (fill > 0) Put(sink, ' '), --fill;
}

// Digits of value in base 10 or 16 into the end of buf; returns the first.
char* FormatNumber(char* end, unsigned long long value, unsigned base, bool upper, int precision) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char* p = end;
  int count = 0;
  while (value != 0 || count < precision || (count == 0 && precision < 0)) {
    *--p = digits[value % base];
    value /= base;
    ++count;
  }
  return p;
}

int ReadNumber(const char** format, va_list* args) {
  if (**format == '*') {
    ++*format;
    return va_arg(*args, int);
  }
  int n = 0;
  while (**format >= '0' && **format <= '9') n = n * 10 + (*(*format)++ - '0');
  return n;
}

// What a conversion asks for besides its letter.
struct Conversion {
  bool left = false, plus = false, blank = false;
  char pad = ' ';
  int width = 0;
  int precision = -1;
  int longs = 0;  // 0 int, 1 long, 2 long long, 3 size_t/pointer-sized
};

// Reads flags, width, precision and length up to the conversion letter.
Conversion ReadConversion(const char** format, va_list* args) {
  Conversion conv;
  for (;; ++*format) {
    if (**format == '-') conv.left = true;
    else if (**format == '0') conv.pad = '0';
    else if (**format == '+') conv.plus = true;
    else if (**format == ' ') conv.blank = true;
    else if (**format != '#') break;
  }
  conv.width = ReadNumber(format, args);
  if (conv.width < 0) conv.left = true, conv.width = -conv.width;
  if (**format == '.') {
    ++*format;
    conv.precision = ReadNumber(format, args);
  }
  while (**format == 'l' || **format == 'h' || **format == 'z' || **format == 'j' || **format == 't') {
    const char m = *(*format)++;
    conv.longs = m == 'l' ? conv.longs + 1 : m == 'h' ? conv.longs : m == 'j' ? 2 : 3;
  }
  return conv;
}

void PutText(Sink* sink, const Conversion& conv, const char* text) {
  if (text == nullptr) text = "(null)";
  size_t count = 0;
  while (text[count] != '\0' && (conv.precision < 0 || count < static_cast<size_t>(conv.precision))) ++count;
  PutPadded(sink, text, count, conv.width, conv.left, ' ');
}

void PutSigned(Sink* sink, const Conversion& conv, va_list* args) {
  long long value = conv.longs == 0 ? va_arg(*args, int) : conv.longs == 1 ? va_arg(*args, long)
                  : conv.longs == 2 ? va_arg(*args, long long) : va_arg(*args, ptrdiff_t);
  const bool negative = value < 0;
  char buf[24];
  char* end = buf + sizeof buf;
  char* p = FormatNumber(end, negative ? 0ull - static_cast<unsigned long long>(value)
                                        : static_cast<unsigned long long>(value), 10, false, conv.precision);
  if (negative) *--p = '-';
  else if (conv.plus) *--p = '+';
  else if (conv.blank) *--p = ' ';
  PutPadded(sink, p, static_cast<size_t>(end - p), conv.width, conv.left, conv.precision >= 0 ? ' ' : conv.pad);
}

// %u %x %X and %p (the pointer as all its hex digits).
void PutUnsigned(Sink* sink, Conversion conv, char conversion, va_list* args) {
  unsigned long long value = conversion == 'p' ? reinterpret_cast<uintptr_t>(va_arg(*args, void*))
                           : conv.longs == 0 ? va_arg(*args, unsigned) : conv.longs == 1 ? va_arg(*args, unsigned long)
                           : conv.longs == 2 ? va_arg(*args, unsigned long long) : va_arg(*args, size_t);
  if (conversion == 'p') conv.precision = 2 * static_cast<int>(sizeof(void*));
  char buf[24];
  char* end = buf + sizeof buf;
  char* p = FormatNumber(end, value, conversion == 'u' ? 10 : 16, conversion != 'x', conv.precision);
  PutPadded(sink, p, static_cast<size_t>(end - p), conv.width, conv.left, conv.precision >= 0 ? ' ' : conv.pad);
}

void FormatOne(Sink* sink, const char** format, va_list* args) {
  const Conversion conv = ReadConversion(format, args);
  const char conversion = *(*format)++;
  switch (conversion) {
    case 's':
      PutText(sink, conv, va_arg(*args, const char*));
      return;
    case 'c': {
      const char c = static_cast<char>(va_arg(*args, int));
      PutPadded(sink, &c, 1, conv.width, conv.left, ' ');
      return;
    }
    case 'd':
    case 'i':
      PutSigned(sink, conv, args);
      return;
    case 'u':
    case 'x':
    case 'X':
    case 'p':
      PutUnsigned(sink, conv, conversion, args);
      return;
    case '\0':
      --*format;  // a lone '%' at the end
      return;
    default:
      Put(sink, conversion);  // "%%", and an unknown conversion as itself
      return;
  }
}

}  // namespace

extern "C" {

// ---- memory and strings (the compiler also emits calls to the first four) --

// The string instructions: small, and as fast as any loop on processors
// since the Pentium Pro for the lengths the expansion copies.
void* memcpy(void* to, const void* from, size_t count) {
  void* d = to;
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(from), "+c"(count) : : "memory");
  return to;
}

void* memmove(void* to, const void* from, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(to);
  const unsigned char* s = static_cast<const unsigned char*>(from);
  if (d <= s || d >= s + count) return memcpy(to, from, count);
  while (count-- > 0) d[count] = s[count];  // overlapping, destination above: backwards
  return to;
}

void* memset(void* to, int value, size_t count) {
  void* d = to;
  __asm__ volatile("rep stosb" : "+D"(d), "+c"(count) : "a"(value) : "memory");
  return to;
}

int memcmp(const void* a, const void* b, size_t count) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (; count > 0; --count, ++x, ++y)
    if (*x != *y) return *x < *y ? -1 : 1;
  return 0;
}

size_t strlen(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

int strncmp(const char* a, const char* b, size_t count) {
  for (; count > 0; --count, ++a, ++b) {
    const unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == '\0') break;
  }
  return 0;
}

int strcmp(const char* a, const char* b) { return strncmp(a, b, static_cast<size_t>(-1)); }

char* strcpy(char* to, const char* from) { return static_cast<char*>(memcpy(to, from, strlen(from) + 1)); }

char* strncpy(char* to, const char* from, size_t count) {
  size_t i = 0;
  for (; i < count && from[i] != '\0'; ++i) to[i] = from[i];
  for (; i < count; ++i) to[i] = '\0';
  return to;
}

char* strstr(const char* text, const char* part) {
  const size_t n = strlen(part);
  for (; *text != '\0' || n == 0; ++text) {
    if (strncmp(text, part, n) == 0) return const_cast<char*>(text);
    if (*text == '\0') break;
  }
  return nullptr;
}

// The Win32 backend shows no notices (PlatformNotice does nothing), so the
// text of a system error number is never seen.
char* strerror(int) { return const_cast<char*>("system error"); }

void* malloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1); }

void* calloc(size_t count, size_t size) {
  if (size != 0 && count > static_cast<size_t>(-1) / size) return nullptr;
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count * size != 0 ? count * size : 1);
}

void free(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// realloc(block, 0) frees the block and returns null.
void* realloc(void* block, size_t size) {
  if (block == nullptr) return malloc(size);
  if (size == 0) {
    free(block);
    return nullptr;
  }
  return HeapReAlloc(GetProcessHeap(), 0, block, size);
}

// ---- files ------------------------------------------------------------------

// The modes the stub opens with: "rb" (an existing file, shared as msvcrt
// shares it) and "wb"/"wb+" (created or emptied); anything else fails.
_iobuf* fopen(const char* path, const char* mode) {
  DWORD access = GENERIC_READ, creation = OPEN_EXISTING;
  if (mode[0] == 'w') {
    access = GENERIC_WRITE;
    creation = CREATE_ALWAYS;
  } else if (mode[0] != 'r') {
    return nullptr;
  }
  for (const char* m = mode + 1; *m != '\0'; ++m)
    if (*m == '+') access = GENERIC_READ | GENERIC_WRITE;
  HANDLE file = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, creation,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    gLastError = static_cast<int>(GetLastError());
    return nullptr;
  }
  return reinterpret_cast<_iobuf*>(file);
}

int fclose(_iobuf* file) { return CloseHandle(AsHandle(file)) ? 0 : -1; }

int fflush(_iobuf*) { return 0; }  // nothing is buffered

size_t fread(void* buffer, size_t size, size_t count, _iobuf* file) {
  if (size == 0 || count == 0) return 0;
  const size_t want = size * count;
  size_t got = 0;
  while (got < want) {
    DWORD part = 0;
    const DWORD ask = want - got > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want - got);
    if (!ReadFile(AsHandle(file), static_cast<char*>(buffer) + got, ask, &part, nullptr) || part == 0) break;
    got += part;
  }
  return got / size;
}

size_t fwrite(const void* buffer, size_t size, size_t count, _iobuf* file) {
  if (size == 0 || count == 0) return 0;
  const size_t want = size * count;
  size_t done = 0;
  while (done < want) {
    DWORD part = 0;
    const DWORD ask = want - done > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want - done);
    if (!WriteFile(AsHandle(file), static_cast<const char*>(buffer) + done, ask, &part, nullptr) || part == 0) {
      gLastError = static_cast<int>(GetLastError());
      break;
    }
    done += part;
  }
  return done / size;
}

// Offsets below 2 GiB, as a long holds on Windows.
int fseek(_iobuf* file, long offset, int origin) {
  const DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
  return SetFilePointer(AsHandle(file), offset, nullptr, method) == INVALID_SET_FILE_POINTER ? -1 : 0;
}

long ftell(_iobuf* file) {
  const DWORD at = SetFilePointer(AsHandle(file), 0, nullptr, FILE_CURRENT);
  return at == INVALID_SET_FILE_POINTER || at > 0x7FFFFFFFu ? -1L : static_cast<long>(at);
}

void rewind(_iobuf* file) { SetFilePointer(AsHandle(file), 0, nullptr, FILE_BEGIN); }

int __mingw_vsnprintf(char* out, size_t size, const char* format, va_list args) {
  Sink sink = {out, size, 0};
  va_list rest;
  va_copy(rest, args);
  while (*format != '\0') {
    if (*format != '%') {
      Put(&sink, *format++);
      continue;
    }
    ++format;
    FormatOne(&sink, &format, &rest);
  }
  va_end(rest);
  if (size > 0) out[sink.length < size ? sink.length : size - 1] = '\0';
  return static_cast<int>(sink.length);
}

// A formatted line for standard output, cut at 1023 characters.
int __mingw_vfprintf(_iobuf* file, const char* format, va_list args) {
  char text[1024];
  const int length = __mingw_vsnprintf(text, sizeof text, format, args);
  const size_t count = length < static_cast<int>(sizeof text) ? static_cast<size_t>(length) : sizeof text - 1;
  return fwrite(text, 1, count, file) == count ? length : -1;
}

// The headers reach errno and the standard streams through imported
// functions; these pointers stand in for the import table's entries.
int* (*gImportErrno)() __asm__("__imp_" DOLM_C_NAME(_errno)) = ErrnoSlot;
_iobuf* (*gImportStreams)(unsigned) __asm__("__imp_" DOLM_C_NAME(__acrt_iob_func)) = StandardStream;

}  // extern "C"

#endif  // _WIN32
