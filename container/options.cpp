// The rules that turn the stored texts of the option block into the
// temporary folder, the execute file and its arguments.
#include <cstring>

#include "container/container.h"
#include "format/format.h"

bool TakeTempFolderText(const char* text, uint32_t length, char* folder) {
  std::memset(folder, 0, kPathSize);
  // A zero byte ends the stored text.
  uint32_t end = 0;
  while (end < length && text[end] != '\0') ++end;
  // The folder is what stands before the first marker, or the whole text.
  uint32_t take = end;
  for (uint32_t at = 0; at + kTempMarkerLength <= end; ++at) {
    if (std::memcmp(text + at, DOLM_TEMP_MARKER, kTempMarkerLength) == 0) {
      take = at;
      break;
    }
  }
  // A folder of 260 characters or more is refused rather than cut to a different folder.
  if (take >= kPathSize) return false;
  std::memcpy(folder, text, take);
  return true;
}

void SplitExecuteText(const char* text, uint32_t length, char* file, char* args) {
  // The outputs hold 527 and 519 characters; a longer part is cut there.
  const uint32_t fileRoom = sizeof StoredOptions::execFile - 1;
  const uint32_t argsRoom = sizeof StoredOptions::execArgs - 1;
  uint32_t i = 2;  // the opening quote and bracket are not examined
  uint32_t n = 0;
  while (i < length && text[i] != ']') {
    if (text[i] != '\0' && n < fileRoom) file[n++] = text[i];
    ++i;
  }
  if (i >= length) {
    // Without a closing bracket the execute file runs to the end of the text, less a closing quote.
    if (n > 0 && file[n - 1] == '"') file[--n] = '\0';
    return;
  }
  ++i;  // past the bracket
  // Without a closing quote the arguments run to the end of the text.
  n = 0;
  while (i < length && text[i] != '"') {
    if (text[i] != '\0' && n < argsRoom) args[n++] = text[i];
    ++i;
  }
}
