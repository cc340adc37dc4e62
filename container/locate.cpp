// Finding the appended archive in the stub's own file, loading its option
// block once, and checking the archive header.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "format/crc.h"
#include "format/format.h"
#include "format/signature.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the options record is read byte for byte into a little-endian struct");
static_assert(sizeof(OptionsRecord) == kOptionsRecordSize, "options record layout");

namespace {

// Reads the stored texts behind the options record.
Result ReadOptionTexts(FILE* file, StoredOptions* options, Faults* faults) {
  const uint32_t tempLength = options->record.tempLength;
  const uint32_t execLength = options->record.execLength;
  // Stored texts longer than the 780 bytes the stub reads are refused as unreadable options (error 20).
  if (tempLength > kMaxOptionText || execLength > kMaxOptionText)
    return NoteFault(faults, kErrorReadOptions);
  char text[kMaxOptionText + 1];
  if (tempLength != 0) {
    if (std::fread(text, 1, tempLength, file) != tempLength ||
        !TakeTempFolderText(text, tempLength, options->tempFolder))
      return NoteFault(faults, kErrorReadOptions);
  }
  if (execLength != 0) {
    if (std::fread(text, 1, execLength, file) != execLength) return NoteFault(faults, kErrorReadOptions);
    std::memset(options->execFile, 0, sizeof options->execFile);
    std::memset(options->execArgs, 0, sizeof options->execArgs);
    SplitExecuteText(text, execLength, options->execFile, options->execArgs);
  }
  return kOk;
}

// Reads the extension record that ends at the signature (at A): the third
// field gives its size. A size the record cannot have is still taken as a
// damaged record when the magic stands right before the signature.
Result LoadExtension(FILE* file, long at, StoredOptions* options, Faults* faults) {
  const uint32_t size = options->record.unused;
  if (size == 0) return kOk;
  const int64_t start = static_cast<int64_t>(at) - size;
  if (size < kExtensionTrailerSize || size > kExtensionMaxSize || start < 0) {
    uint8_t magic[4];
    if (at < 4 || std::fseek(file, at - 4, SEEK_SET) != 0 || std::fread(magic, 1, 4, file) != 4 ||
        LoadLe32(magic) != kExtensionMagic)
      return kOk;
    return NoteFault(faults, kStopDamagedRecord, "", at - 4);
  }
  uint8_t* bytes = static_cast<uint8_t*>(std::malloc(size));
  if (bytes == nullptr) return NoteFault(faults, kErrorNoMemory);
  if (std::fseek(file, static_cast<long>(start), SEEK_SET) != 0 || std::fread(bytes, 1, size, file) != size) {
    std::free(bytes);
    return NoteFault(faults, kErrorReadOptions, "", start);
  }
  const ExtensionStatus status = ParseExtensionRecord(bytes, size, &options->extension);
  if (status == ExtensionStatus::kValid) {
    options->extensionBytes = bytes;
    return kOk;
  }
  std::free(bytes);
  if (status == ExtensionStatus::kDamaged) return NoteFault(faults, kStopDamagedRecord, "", start);
  if (status == ExtensionStatus::kNeedsNewer) return NoteFault(faults, kStopNeedsNewer, "", start);
  return kOk;
}

// Searches the file and reads the option block, leaving the file at P.
Result SearchAndLoad(ArchiveFile* archive, StoredOptions* options, uint8_t* window, Faults* faults) {
  FILE* file = archive->file;
  ReleaseExtension(options);
  // A shorter file leaves the rest of the window zero, which can never match
  // a signature character: only the bytes read are searched.
  const size_t got = std::fread(window, 1, kSearchWindow, file);
  // Zero bytes count as blanks, so a zero can never match a signature character.
  for (uint32_t i = 0; i < got; ++i)
    if (window[i] == 0) window[i] = ' ';

  // The first occurrence is the stub image's own copy; the archive's is the second.
  long at = FindOverlaySignature(window, got, 0);
  if (at < 0) {
    Result missing = NoteFault(faults, kErrorFirstOptions);
    if (!faults->goOn) return missing;
  }
  at = FindOverlaySignature(window, got, at < 0 ? 0 : static_cast<size_t>(at) + 1);
  if (at < 0) return NoteFault(faults, kErrorSecondOptions);

  std::fseek(file, at + static_cast<long>(kSignatureLength), SEEK_SET);
  if (std::fread(&options->record, 1, kOptionsRecordSize, file) != kOptionsRecordSize)
    return NoteFault(faults, kErrorReadOptions);
  Result texts = ReadOptionTexts(file, options, faults);
  if (!texts.ok()) return texts;
  const long position = std::ftell(file);
  Result extension = LoadExtension(file, at, options, faults);
  if (!extension.ok()) return extension;
  std::fseek(file, position, SEEK_SET);
  archive->optionBlockPos = static_cast<int32_t>(position);
  return kOk;
}

}  // namespace

void ReleaseExtension(StoredOptions* options) {
  std::free(options->extensionBytes);
  options->extensionBytes = nullptr;
  options->extension = ExtensionRecord{};
}

Result OpenArchive(const char* path, ArchiveFile* archive, Faults* faults) {
  std::memset(archive->name, 0, sizeof archive->name);
  // A path over 259 characters is opened whole; error texts show its first 259.
  std::strncpy(archive->name, path, sizeof archive->name - 1);
  std::memset(archive->header, 0, sizeof archive->header);
  archive->file = PlatformOpenFile(path, "rb");
  if (archive->file == nullptr) return NoteFault(faults, kErrorCannotOpen, path);
  return kOk;
}

void CloseArchive(ArchiveFile* archive) {
  if (archive->file != nullptr) std::fclose(archive->file);
  archive->file = nullptr;
}

Result LoadStoredOptions(const char* ownPath, ArchiveFile* archive, StoredOptions* options,
                         Faults* faults) {
  Result result = OpenArchive(ownPath, archive, faults);
  if (!result.ok()) return result;
  result = ReadArchiveSettings(archive, options, faults);
  CloseArchive(archive);
  return result;
}

Result LocateArchive(ArchiveFile* archive, StoredOptions* options, Faults* faults) {
  FILE* file = archive->file;
  std::rewind(file);
  if (archive->optionBlockPos != 0) {
    std::fseek(file, archive->optionBlockPos, SEEK_SET);
    return kOk;
  }
  if (std::ftell(file) != 0) return NoteFault(faults, kErrorRewind);
  uint8_t* window = static_cast<uint8_t*>(std::malloc(kSearchWindow));
  if (window == nullptr) return NoteFault(faults, kErrorNoMemory);
  Result result = SearchAndLoad(archive, options, window, faults);
  std::free(window);
  return result;
}

Result CheckArchiveHeader(ArchiveFile* archive, StoredOptions* options, Faults* faults) {
  FILE* file = archive->file;
  Result result = LocateArchive(archive, options, faults);
  if (!result.ok() && !faults->goOn) return result;
  uint8_t marker[4];
  uint32_t value = 0xFFFFFFFFu;  // what a read at the end of the file gives
  if (std::fread(marker, 1, 4, file) == 4) value = LoadLe32(marker);
  if (value != kArchiveMarker) return NoteFault(faults, kErrorMarker, "", std::ftell(file));
  Result again = LocateArchive(archive, options, faults);
  if (!again.ok() && !faults->goOn) return again;
  size_t got = std::fread(archive->header, 1, kArchiveHeaderSize, file);
  if (got != kArchiveHeaderSize || !IsValidArchiveHeader(archive->header))
    return NoteFault(faults, kErrorNotArchive, "", archive->optionBlockPos);
  return result.ok() ? again : result;
}

bool IsValidArchiveHeader(const uint8_t* header) {
  if (header[kHeaderTagOffset] != kHeaderTag) return false;
  return Crc32Of(header, kHeaderCrcOffset) == LoadLe32(header + kHeaderCrcOffset);
}

Result ReadArchiveSettings(ArchiveFile* archive, StoredOptions* options, Faults* faults) {
  Result result = CheckArchiveHeader(archive, options, faults);
  if (!result.ok() && !faults->goOn) return result;
  Result back = LocateArchive(archive, options, faults);
  return result.ok() ? back : result;
}
