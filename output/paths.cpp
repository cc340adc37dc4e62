// Target paths: the default temporary folder and the rule that turns a
// stored name into the path a file is written to.
#include <cstring>

#include "container/format.h"
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
  // One place is kept free for the separator appended below.
  int length = PlatformTempPath(folder, kPathSize - 1);
  if (length < 0) length = 0;
  folder[length] = '\0';
  // A POSIX temporary path ends in '/', which serves as the separator as well.
  if (length == 0 || !IsPathSeparator(folder[length - 1])) folder[length] = '\\';
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
  if (length > 0 && !IsPathSeparator(target[length - 1])) fits = AppendText(target, kPathSize, "\\");

  const char* tail = storedName;
  if (OptionField(optionWord, kRecreateOriginalFolders) == 0) {
    tail = storedName + FolderPartLength(storedName);  // file name and extension only
  } else {
    const char* marker = strstr(storedName, DOLM_TEMP_MARKER);
    if (marker != nullptr) tail = marker + kTempMarkerLength;
  }
  // A path beyond 259 characters is refused; target keeps its first 259
  // characters so that the error can name it.
  return AppendText(target, kPathSize, tail) && fits;
}
