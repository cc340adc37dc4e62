// The extension record's one reader: trailer, CRC-32, then the entries with
// a cursor that checks each length before it reads.
#include "container/extension.h"

#include "container/container.h"
#include "format/crc.h"

namespace {

constexpr uint16_t kTypeMask = 0x7FFF;

bool IsKnown(uint16_t kind) {
  return kind == kEntryBehaviour || kind == kEntryTitle || kind == kEntryLicence || kind == kEntryUtf8Names ||
         kind == kEntryUnixModes;
}

// Takes one entry's value into the record. False for a known entry whose
// value cannot be one (a behaviour shorter than four bytes, a names entry
// shorter than two, or the same entry twice, which would leave it open
// which one counts).
bool TakeEntry(uint16_t type, const uint8_t* value, uint32_t length, uint32_t* seen, ExtensionRecord* record) {
  if ((*seen & (1u << type)) != 0) return false;
  *seen |= 1u << type;
  switch (type) {
    case kEntryBehaviour:
      // Later versions may append bytes; the first four are the bits known here.
      if (length < 4) return false;
      record->behaviour = LoadLe32(value);
      return true;
    case kEntryTitle:
      record->title = length != 0 ? value : nullptr;
      record->titleLength = length;
      return true;
    case kEntryLicence:
      record->licence = length != 0 ? value : nullptr;
      record->licenceLength = length;
      return true;
    case kEntryUtf8Names:
      if (length < 2) return false;
      record->utf8Names = true;
      record->ansiCodePage = LoadLe16(value);
      return true;
    case kEntryUnixModes:
      record->unixModes = true;
      return true;
    default:
      return true;
  }
}

// Walks the entries in [0, end): every entry's header and value must lie
// inside it.
ExtensionStatus ReadEntries(const uint8_t* bytes, uint32_t end, ExtensionRecord* record) {
  uint32_t at = 0, seen = 0;
  ExtensionStatus status = ExtensionStatus::kValid;
  while (at < end) {
    if (end - at < kExtensionEntryHeader) return ExtensionStatus::kDamaged;
    const uint16_t type = LoadLe16(bytes + at);
    const uint32_t length = LoadLe32(bytes + at + 2);
    at += kExtensionEntryHeader;
    if (length > end - at) return ExtensionStatus::kDamaged;
    const uint16_t kind = type & kTypeMask;
    const bool known = IsKnown(kind);
    if (!known && (type & kExtensionRequired) != 0 && status == ExtensionStatus::kValid) {
      record->unknownRequired = kind;
      status = ExtensionStatus::kNeedsNewer;
    }
    if (known && !TakeEntry(kind, bytes + at, length, &seen, record)) return ExtensionStatus::kDamaged;
    at += length;
  }
  return status;
}

}  // namespace

ExtensionStatus ParseExtensionRecord(const uint8_t* bytes, uint32_t size, ExtensionRecord* record) {
  *record = ExtensionRecord{};
  if (bytes == nullptr || size < 4 || LoadLe32(bytes + size - 4) != kExtensionMagic) return ExtensionStatus::kAbsent;
  if (size < kExtensionTrailerSize || size > kExtensionMaxSize) return ExtensionStatus::kDamaged;
  const uint8_t* trailer = bytes + size - kExtensionTrailerSize;
  if (LoadLe32(trailer) != size ||
      LoadLe16(trailer + 4) == 0 || Crc32Of(bytes, size - 8) != LoadLe32(trailer + 8))
    return ExtensionStatus::kDamaged;
  // A later version is read as far as its entries allow: a change an older
  // reader must not pass over comes as a required entry.
  ExtensionStatus status = ReadEntries(bytes, size - kExtensionTrailerSize, record);
  const uint16_t unknown = record->unknownRequired;
  if (status != ExtensionStatus::kValid) {
    *record = ExtensionRecord{};
    if (status == ExtensionStatus::kNeedsNewer) record->unknownRequired = unknown;
    return status;
  }
  record->present = true;
  record->size = size;
  return status;
}

bool Asks(const StoredOptions& options, uint32_t bit) {
  return options.extension.present && (options.extension.behaviour & bit) != 0;
}
