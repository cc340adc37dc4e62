// Symbolic links inside the extracted tree: see link_target.h.
#include "format/link_target.h"

namespace {

bool IsNameBreak(char c) { return c == '\\' || c == '/'; }

}  // namespace

uint32_t StoredFolderDepth(const char* storedName) {
  uint32_t depth = 0;
  const char* p = storedName;
  for (;;) {
    while (IsNameBreak(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !IsNameBreak(*p)) ++p;
    if (*p == '\0') return depth;  // the last component is the entry itself
    const long length = p - start;
    if (length == 1 && start[0] == '.') continue;
    if (length == 2 && start[0] == '.' && start[1] == '.') {
      if (depth == 0) return 0;
      --depth;
      continue;
    }
    ++depth;
  }
}

bool LinkTargetStaysInside(const uint8_t* target, uint32_t length, uint32_t depth) {
  if (length == 0 || target[0] == '/') return false;
  uint32_t climbs = 0;
  bool named = false;  // a component other than "." or ".." came before
  for (uint32_t at = 0; at <= length;) {
    uint32_t end = at;
    while (end < length && target[end] != '/') {
      if (target[end] == 0) return false;
      ++end;
    }
    const uint32_t part = end - at;
    if (part == 2 && target[at] == '.' && target[at + 1] == '.') {
      if (named || ++climbs > depth) return false;
    } else if (part != 0 && !(part == 1 && target[at] == '.')) {
      named = true;
    }
    at = end + 1;
  }
  return true;
}
