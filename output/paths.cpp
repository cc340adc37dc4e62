// Target paths and folders: the default temporary folder, the rule that turns
// a stored name into the path a file is written to, and the creation of the
// folders that path needs.
//
// This module keeps no state of its own: it reads the temporary folder of the
// start-up module and the option word of the container.
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "output/output.h"
#include "platform/platform.h"
#include "startup/startup.h"

namespace {

constexpr uint32_t kPathSize = 260;  // every path text here: 259 characters + NUL

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Appends src to the text in dst (capacity cap bytes, NUL-terminated).
// Copies what fits and returns 1 when src did not fit completely.
int AppendText(char* dst, uint32_t cap, const char* src) {
  uint32_t used = static_cast<uint32_t>(strlen(dst));
  while (*src) {
    if (used + 1 >= cap) {
      dst[used] = '\0';
      return 1;
    }
    dst[used++] = *src++;
  }
  dst[used] = '\0';
  return 0;
}

}  // namespace

uint32_t FolderPartLength(const char* path) {
  uint32_t length = 0;
  if (path[0] != '\0' && path[1] == ':') length = 2;
  for (uint32_t i = length; path[i] != '\0'; ++i) {
    if (IsSeparator(path[i])) length = i + 1;
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
  if (length == 0 || !IsSeparator(folder[length - 1])) folder[length] = '\\';
}

int TargetPathFor(const char* storedName, char* target) {
  memset(target, 0, kPathSize);
  if (gStartup.tempFolder[0] != '\0') {
    AppendText(target, kPathSize, gStartup.tempFolder);
  } else if (PlatformGetCurrentFolder(target, kPathSize) != 0) {
    target[0] = '\0';
  }
  int overflow = 0;
  size_t length = strlen(target);
  if (length > 0 && !IsSeparator(target[length - 1])) overflow |= AppendText(target, kPathSize, "\\");

  const char* tail = storedName;
  if (OptionField(OptionWord(), kRecreateOriginalFolders) == 0) {
    tail = storedName + FolderPartLength(storedName);  // file name and extension only
  } else {
    const char* marker = strstr(storedName, DOLM_TEMP_MARKER);
    if (marker != nullptr) tail = marker + kTempMarkerLength;
  }
  // A path beyond 259 characters is refused; target keeps its first 259
  // characters so that the error can name it.
  overflow |= AppendText(target, kPathSize, tail);
  return overflow;
}

void MakeFolders(const char* folderPath) {
  char work[kPathSize];
  uint32_t used = 0;
  work[0] = '\0';
  // Each level is created when its separator is reached, outermost first.
  // Slashes count as separators too: Windows accepts them, and they make the
  // same walk work for POSIX paths.
  for (const char* p = folderPath; *p != '\0' && used + 1 < kPathSize; ++p) {
    if (IsSeparator(*p) && used > 0) {
      // Only folders that did not exist before are recorded for the clean-up.
      if (PlatformCreateFolder(work) == 0) RecordWrittenPath(work);
    }
    work[used++] = *p;
    work[used] = '\0';
  }
}
