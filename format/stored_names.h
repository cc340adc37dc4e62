// The one rule for reading a stored name on a system whose names are UTF-8:
// the Linux stub (each path it touches) and the dolm tool (list, test,
// extract) both read names through it; the Windows stubs decode the names of
// an archive whose record says they are UTF-8 with the same strict reading.
//
// An archive whose extension record carries the names entry stores every
// name as UTF-8: a name is taken as it is when it is strict UTF-8 all
// through, and is damage otherwise (no guess at a code page).
//
// Without that entry:
// Stored names are 8-bit text in the Windows code page of the machine that
// made the archive. Each part of a name between separators ('\' or '/', kept
// as they are) that is strict UTF-8 stays as it is (names written by UTF-8
// tools, and the host's own folders); any other part is read as code page
// 1252, the ANSI code page of a Western Windows and of Wine's default locale.
// The five bytes 1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) read as
// the characters of the same number (U+0081 ...), as Windows reads them, so
// that every stored name can be extracted and two different names stay
// different.
#pragma once

#include <cstddef>

// The character that byte c has in code page 1252.
unsigned Cp1252Character(unsigned char c);

// The length of the strict UTF-8 sequence that starts at text[i] and ends
// before text[end] (no overlong forms, surrogates or characters past
// U+10FFFF), 0 when none does.
size_t StrictUtf8Length(const char* text, size_t i, size_t end);

// Reads the length bytes of text as code page 1252 and writes them as UTF-8
// to out (size bytes, NUL-terminated). False when the result does not fit.
bool Cp1252ToUtf8(const char* text, size_t length, char* out, size_t size);

// The character of the strict UTF-8 sequence of `length` bytes at text[i]
// (a length StrictUtf8Length gave).
unsigned Utf8Character(const char* text, size_t i, size_t length);

// The offset of the first byte of text (length bytes) that starts no strict
// UTF-8 sequence, or length when every byte belongs to one.
size_t FirstNonUtf8Byte(const char* text, size_t length);

// How an archive stores its names: 8-bit text in the code page of the
// machine that made it (every archive without the names entry), or UTF-8 as
// its extension record says.
enum class StoredNames { kCodePage, kUtf8 };

// A stored name read by the rule above, written to out (size bytes,
// NUL-terminated); out may not overlap stored. False when the result does
// not fit, or, for names recorded as UTF-8, when the name is not strict UTF-8
// (FirstNonUtf8Byte says where).
bool StoredNameToUtf8(const char* stored, size_t length, StoredNames names, char* out, size_t size);
// The same for an archive without the names entry.
inline bool StoredNameToUtf8(const char* stored, size_t length, char* out, size_t size) {
  return StoredNameToUtf8(stored, length, StoredNames::kCodePage, out, size);
}
