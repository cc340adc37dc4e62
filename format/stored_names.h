// The one rule for reading a stored name on a system whose names are UTF-8:
// the Linux stub (each path it touches) and the dolm tool (list, test,
// extract) both read names through it.
//
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

// A stored name read by the rule above, written to out (size bytes,
// NUL-terminated); out may not overlap stored. False when the result does
// not fit.
bool StoredNameToUtf8(const char* stored, size_t length, char* out, size_t size);
