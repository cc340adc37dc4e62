// The one rule for reading a stored name as UTF-8 (format/stored_names.h).
#include "format/stored_names.h"

#include <cstdint>

namespace {

// Code page 1252 from 0x80 to 0x9F; the bytes it leaves undefined keep
// their own number.
const uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Appends one character below U+10000 as UTF-8 at out[*o]; false when it
// and the terminating zero do not fit.
bool PutUtf8(unsigned point, char* out, size_t size, size_t* o) {
  const size_t need = point < 0x80 ? 1 : point < 0x800 ? 2 : 3;
  if (*o + need >= size) return false;
  if (need == 1) {
    out[(*o)++] = static_cast<char>(point);
  } else if (need == 2) {
    out[(*o)++] = static_cast<char>(0xC0 | (point >> 6));
    out[(*o)++] = static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out[(*o)++] = static_cast<char>(0xE0 | (point >> 12));
    out[(*o)++] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out[(*o)++] = static_cast<char>(0x80 | (point & 0x3F));
  }
  return true;
}

// Appends text read as code page 1252 at out[*o].
bool PutCp1252(const char* text, size_t length, char* out, size_t size, size_t* o) {
  for (size_t i = 0; i < length; ++i)
    if (!PutUtf8(Cp1252Character(static_cast<unsigned char>(text[i])), out, size, o)) return false;
  return true;
}

bool IsStrictUtf8Part(const char* text, size_t start, size_t end) {
  return FirstNonUtf8Byte(text + start, end - start) == end - start;
}

}  // namespace

unsigned Cp1252Character(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c; }

size_t StrictUtf8Length(const char* text, size_t i, size_t end) {
  const unsigned char* c = reinterpret_cast<const unsigned char*>(text + i);
  const size_t length = c[0] < 0x80 ? 1 : c[0] >= 0xC2 && c[0] <= 0xDF ? 2 : c[0] >= 0xE0 && c[0] <= 0xEF ? 3
                      : c[0] >= 0xF0 && c[0] <= 0xF4 ? 4 : 0;
  if (length == 0 || i + length > end) return 0;
  for (size_t k = 1; k < length; ++k)
    if ((c[k] & 0xC0) != 0x80) return 0;
  if ((c[0] == 0xE0 && c[1] < 0xA0) || (c[0] == 0xED && c[1] > 0x9F) || (c[0] == 0xF0 && c[1] < 0x90) ||
      (c[0] == 0xF4 && c[1] > 0x8F))
    return 0;
  return length;
}

bool Cp1252ToUtf8(const char* text, size_t length, char* out, size_t size) {
  size_t o = 0;
  if (!PutCp1252(text, length, out, size, &o) || o >= size) return false;
  out[o] = '\0';
  return true;
}

unsigned Utf8Character(const char* text, size_t i, size_t length) {
  const unsigned char* c = reinterpret_cast<const unsigned char*>(text + i);
  if (length == 1) return c[0];
  static const unsigned kLeadBits[5] = {0, 0, 0x1F, 0x0F, 0x07};
  unsigned point = c[0] & kLeadBits[length];
  for (size_t k = 1; k < length; ++k) point = (point << 6) | (c[k] & 0x3Fu);
  return point;
}

size_t FirstNonUtf8Byte(const char* text, size_t length) {
  for (size_t i = 0; i < length;) {
    const size_t sequence = StrictUtf8Length(text, i, length);
    if (sequence == 0) return i;
    i += sequence;
  }
  return length;
}

bool StoredNameToUtf8(const char* stored, size_t length, StoredNames names, char* out, size_t size) {
  if (names == StoredNames::kUtf8) {
    if (FirstNonUtf8Byte(stored, length) != length || length >= size) return false;
    for (size_t i = 0; i < length; ++i) out[i] = stored[i];
    out[length] = '\0';
    return true;
  }
  size_t o = 0;
  for (size_t start = 0; start <= length;) {
    size_t end = start;
    while (end < length && !IsSeparator(stored[end])) ++end;
    if (IsStrictUtf8Part(stored, start, end)) {
      if (o + (end - start) >= size) return false;
      for (size_t i = start; i < end; ++i) out[o++] = stored[i];
    } else if (!PutCp1252(stored + start, end - start, out, size, &o)) {
      return false;
    }
    if (end < length) {
      if (o + 1 >= size) return false;
      out[o++] = stored[end];
    }
    start = end + 1;
  }
  if (o >= size) return false;
  out[o] = '\0';
  return true;
}
