// Target paths: the default temporary folder and the rule that turns a
// stored name into the path a file is written to.
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "output/output.h"

namespace {

// Appends src to the text in dst (capacity cap bytes, NUL-terminated).
// Copies what fits and returns false when src did not fit completely.
bool AppendText(char* dst, uint32_t cap, const char* src) {
  uint32_t used = static_cast<uint32_t>(strlen(dst));
  while (*src) {
    if (used + 1 >= cap) {
      dst[used] = '\0';
      return false;
    }
    dst[used++] = *src++;
  }
  dst[used] = '\0';
  return true;
}

}  // namespace

uint32_t FolderPartLength(const char* path) {
  uint32_t length = 0;
  if (path[0] != '\0' && path[1] == ':') length = 2;
  for (uint32_t i = length; path[i] != '\0'; ++i) {
    if (IsPathSeparator(path[i])) length = i + 1;
  }
  return length;
}

void DefaultTemporaryFolder(char* folder) {
  memset(folder, 0, kPathSize);
  // The system's path gets room for 259 characters, as GetTempPathA is asked
  // with 260; it ends in a separator (a POSIX one in '/').
  int length = PlatformTempPath(folder, kPathSize);
  if (length < 0) length = 0;
  folder[length] = '\0';
  // A path without its separator gets one where there is room; none gives "\".
  if ((length == 0 || !IsPathSeparator(folder[length - 1])) && length < static_cast<int>(kPathSize) - 1)
    folder[length] = '\\';
}

const char* StoredTail(uint32_t optionWord, const char* storedName) {
  if (OptionField(optionWord, kRecreateOriginalFolders) == 0)
    return storedName + FolderPartLength(storedName);  // file name and extension only
  const char* marker = strstr(storedName, DOLM_TEMP_MARKER);
  return marker != nullptr ? marker + kTempMarkerLength : storedName;
}

bool TargetPathFor(const char* folder, uint32_t optionWord, const char* storedName, char* target) {
  memset(target, 0, kPathSize);
  if (folder[0] != '\0') {
    AppendText(target, kPathSize, folder);
  } else if (!PlatformGetCurrentFolder(target, kPathSize)) {
    target[0] = '\0';
  }
  bool fits = true;
  size_t length = strlen(target);
  // On Windows only a backslash ends the folder: "D:/out/" gets one behind it.
  if (length > 0 && !PlatformIsFolderBreak(target[length - 1])) fits = AppendText(target, kPathSize, "\\");

  const char* tail = StoredTail(optionWord, storedName);
  // A path beyond 259 characters is refused; target keeps its first 259
  // characters so that the error can name it.
  return AppendText(target, kPathSize, tail) && fits;
}

bool ResolveAgainstCurrentFolder(const char* path, char* out, size_t size) {
  char current[kPathSize];
  int n;
  if (path[0] != '\0' && path[1] == ':' && !PlatformIsAbsolutePath(path) &&
      PlatformDriveFolder(path[0], current, sizeof current)) {
    // "C:wo" lies below the current folder of its own drive.
    const size_t length = strlen(current);
    const char* separator = (length > 0 && !IsPathSeparator(current[length - 1])) ? "\\" : "";
    n = snprintf(out, size, "%s%s%s", current, separator, path + 2);
  } else if (path[0] == '\0' || PlatformIsAbsolutePath(path) || !PlatformGetCurrentFolder(current, sizeof current)) {
    n = snprintf(out, size, "%s", path);
  } else if (IsPathSeparator(path[0])) {
    // A rooted path ("\dolmtest\") keeps its root: only the current drive goes in front.
    const bool drive = current[0] != '\0' && current[1] == ':';
    n = snprintf(out, size, "%.*s%s", drive ? 2 : 0, current, path);
  } else {
    const size_t length = strlen(current);
    const char* separator = (length > 0 && !IsPathSeparator(current[length - 1])) ? "\\" : "";
    n = snprintf(out, size, "%s%s%s", current, separator, path);
  }
  return n >= 0 && static_cast<size_t>(n) < size;
}
