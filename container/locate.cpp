// Finding the appended archive in the stub's own file, loading its option
// block once, and checking the archive header.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "platform/platform.h"
#include "startup/startup.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the options record is read byte for byte into a little-endian struct");
static_assert(sizeof(OptionsRecord) == kOptionsRecordSize, "options record layout");

// Invariants: at most one archive file is open; optionBlockPos is 0 until the
// first locate of the run succeeds and then holds the offset of the archive
// header, which it keeps; options, execFile and execArgs are only written by
// that first locate.
ContainerState gContainer;

namespace {

// The stub image's one copy of the overlay signature. It is reached through a
// volatile pointer so that the compiler keeps the whole text in the image
// instead of folding the comparison into instructions.
const char kOverlaySignature[] = DOLM_OVERLAY_SIGNATURE;
const char* volatile gSignatureText = kOverlaySignature;

// Offset of the first signature in the window, or -1.
long FindSignature(const uint8_t* window) {
  const char* signature = gSignatureText;
  const uint8_t first = static_cast<uint8_t>(signature[0]);
  for (uint32_t at = 0; at + kSignatureLength <= kSearchWindow; ++at) {
    if (window[at] != first) continue;
    if (std::memcmp(window + at, signature, kSignatureLength) == 0) return static_cast<long>(at);
  }
  return -1;
}

uint32_t ReadLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Searches the file and reads the option block. Returns 0 with the file at
// P, or 1 after the error has been reported.
int SearchAndLoad(FILE* file, uint8_t* window) {
  std::memset(window, 0, kSearchWindow);
  size_t got = std::fread(window, 1, kSearchWindow, file);
  (void)got;  // a shorter file leaves the rest of the window zero
  // Zero bytes count as blanks, so a zero can never match a signature character.
  for (uint32_t i = 0; i < kSearchWindow; ++i)
    if (window[i] == 0) window[i] = ' ';

  // The first occurrence is the stub image's own copy; the archive's is the second.
  long at = FindSignature(window);
  if (at < 0) ReportError(19, "");
  else window[at + 1] = ' ';
  at = FindSignature(window);
  if (at < 0) {
    ReportError(22, "");
    return 1;
  }

  std::rewind(file);
  std::fseek(file, at + static_cast<long>(kSignatureLength), SEEK_SET);
  if (std::fread(&gContainer.options, 1, kOptionsRecordSize, file) != kOptionsRecordSize) {
    ReportError(20, "");
    return 1;
  }
  uint32_t tempLength = gContainer.options.tempLength;
  uint32_t execLength = gContainer.options.execLength;
  // Stored texts longer than the 780 bytes the stub reads are refused as unreadable options (error 20).
  if (tempLength > kMaxOptionText || execLength > kMaxOptionText) {
    ReportError(20, "");
    return 1;
  }
  char text[kMaxOptionText + 1];
  if (tempLength != 0) {
    if (std::fread(text, 1, tempLength, file) != tempLength || ApplyTempFolderText(text, tempLength)) {
      ReportError(20, "");
      return 1;
    }
  }
  if (execLength != 0) {
    if (std::fread(text, 1, execLength, file) != execLength) {
      ReportError(20, "");
      return 1;
    }
    std::memset(gContainer.execFile, 0, sizeof gContainer.execFile);
    std::memset(gContainer.execArgs, 0, sizeof gContainer.execArgs);
    SplitExecuteText(text, execLength, gContainer.execFile, gContainer.execArgs);
  }
  gContainer.optionBlockPos = static_cast<int32_t>(std::ftell(file));
  return 0;
}

}  // namespace

uint32_t OptionWord() { return gContainer.options.optionWord; }

void LocateArchive() {
  FILE* file = gContainer.archive;
  if (!file) return;
  if (gContainer.optionBlockPos != 0) {
    std::rewind(file);
    std::fseek(file, gContainer.optionBlockPos, SEEK_SET);
    return;
  }
  std::rewind(file);
  if (std::ftell(file) != 0) {
    ReportError(17, "");
    return;
  }
  uint8_t* window = static_cast<uint8_t*>(std::malloc(kSearchWindow));
  if (!window) {
    ReportError(18, "");
    return;
  }
  SearchAndLoad(file, window);
  std::free(window);
}

void CheckArchiveHeader() {
  FILE* file = gContainer.archive;
  if (!file) return;
  LocateArchive();
  uint8_t marker[4];
  uint32_t value = 0xFFFFFFFFu;  // what a read at the end of the file gives
  if (std::fread(marker, 1, 4, file) == 4) value = ReadLe32(marker);
  if (value != kArchiveMarker) {
    char format[260];
    char message[520];
    PlatformLoadString(41, format, sizeof format);
    std::snprintf(message, sizeof message, format, static_cast<int>(std::ftell(file)));
    ReportError(21, message);
    return;
  }
  LocateArchive();
  size_t got = std::fread(gContainer.header, 1, kArchiveHeaderSize, file);
  if (got != kArchiveHeaderSize || !IsValidArchiveHeader(gContainer.header)) ReportError(1, "");
}

int IsValidArchiveHeader(const uint8_t* header) {
  if (header[kHeaderTagOffset] != kHeaderTag) return 0;
  return Crc32Of(header, kHeaderCrcOffset) == ReadLe32(header + kHeaderCrcOffset) ? 1 : 0;
}

void ReadArchiveSettings(uint8_t* solidFlag) {
  if (!gContainer.archive) {
    *solidFlag = 255;
    return;
  }
  CheckArchiveHeader();
  *solidFlag = static_cast<uint8_t>((gContainer.header[kHeaderSettingsOffset] >> 2) & 3);
  LocateArchive();
}
