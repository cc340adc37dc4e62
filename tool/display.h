// Text that came from an archive or a file system, made safe to print: on a
// terminal no byte of it acts as a control, and in JSON it is strict UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace tool {

// Length of the UTF-8 sequence at text[i], 0 when it is not strict UTF-8:
// overlong forms, surrogates (U+D800..U+DFFF) and code points beyond U+10FFFF
// are refused, as is a sequence cut off by the end of the text.
size_t Utf8SequenceLength(const std::string& text, size_t i);
bool IsStrictUtf8(const std::string& text);

// The text for a terminal: control bytes (below 0x20 and 0x7F) and bytes that
// are not part of strict UTF-8 become "\x1b" style escapes; C1 controls
// (U+0080..U+009F) and the marks that reorder text (U+200E, U+200F,
// U+202A..U+202E, U+2066..U+2069) become "\u202e" style escapes. Everything
// else, backslashes included, stays as it is.
std::string Shown(const std::string& text);

// True when Shown(text) == text.
bool IsPrintable(const std::string& text);

// Bytes as upper-case hexadecimal pairs separated by blanks: "93 FA 96 7B".
std::string HexText(const std::string& bytes);

}  // namespace tool
