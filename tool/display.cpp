// Escapes for text from archives and file systems before it is printed.
#include "tool/display.h"

#include <cstdio>

#include "format/stored_names.h"

namespace tool {

// The stored-name rule's own check, so that the tool and the Linux stub agree
// on which names are UTF-8.
size_t Utf8SequenceLength(const std::string& text, size_t i) { return StrictUtf8Length(text.data(), i, text.size()); }

bool IsStrictUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    size_t length = Utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

namespace {

bool IsHiddenControl(unsigned point) {
  return (point >= 0x80 && point <= 0x9F) || point == 0x200E || point == 0x200F ||
         (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

std::string Shown(const std::string& text) {
  std::string out;
  char escape[12];
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = Utf8SequenceLength(text, i);
    if (length == 0 || c < 0x20 || c == 0x7F) {
      snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
      ++i;
      continue;
    }
    unsigned point = Utf8Character(text.data(), i, length);
    if (IsHiddenControl(point)) {
      snprintf(escape, sizeof escape, "\\u%04x", point);
      out += escape;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

bool IsPrintable(const std::string& text) { return Shown(text) == text; }

std::string HexText(const std::string& bytes) {
  std::string out;
  char pair[4];
  for (unsigned char c : bytes) {
    snprintf(pair, sizeof pair, "%02X", c);
    if (!out.empty()) out += ' ';
    out += pair;
  }
  return out;
}

}  // namespace tool
