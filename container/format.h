// Byte layout of the appended archive: every constant of the format in one
// place, next to the layout it describes. Shared by the stub and the packer.
#pragma once

#include <cstdint>

// Appended archive, offsets from the first byte of the overlay signature:
//   0   57  overlay signature (no terminating zero)
//   57  16  options record: T, E, unused, option word (u32 LE each)
//   73  T   temporary folder text
//   73+T E  execute text: '"' '[' file ']' arguments '"'
//   +E  36  archive header
//   then the solid header and the data blocks.
#define DOLM_OVERLAY_SIGNATURE "Tar_vex_For_Windows_95_98_NT_(0xA001B2X3AAE660KKL567BABE)"
constexpr unsigned kSignatureLength = 57;
constexpr unsigned kOptionsRecordSize = 16;
constexpr unsigned kSearchWindow = 250535;  // bytes searched for the signature
constexpr unsigned kMaxArchiveStart = kSearchWindow - kSignatureLength;  // 250,478
constexpr unsigned kMaxOptionText = 780;    // longest T or E the stub accepts

// Archive header, 36 bytes.
constexpr unsigned kArchiveHeaderSize = 36;
constexpr uint32_t kArchiveMarker = 0x42454C55;  // "ULEB" read little-endian
constexpr unsigned kHeaderVersionOffset = 4;     // "106\0", not read
constexpr unsigned kHeaderLengthOffset = 8;      // 36, not read
constexpr unsigned kHeaderNumberOffset = 12;     // 106, not read
constexpr unsigned kHeaderTagOffset = 17;
constexpr uint8_t kHeaderTag = 250;
constexpr unsigned kHeaderSettingsOffset = 30;   // bits 2-3 solid flag, 4-7 profile
constexpr unsigned kHeaderCrcOffset = 32;        // CRC-32 of bytes 0..31

// Temporary-folder marker inside stored texts and names.
#define DOLM_TEMP_MARKER "TemporaryPathForDOLM\\"
constexpr unsigned kTempMarkerLength = 21;

// Option word: two-bit fields; every consumer tests a field for non-zero.
constexpr unsigned kOverWriteExistingFiles = 0;   // bit positions
constexpr unsigned kKeepOriginalFileAttrib = 2;
constexpr unsigned kRecreateOriginalFolders = 4;
constexpr unsigned kDeleteSFXwhenDone = 6;
constexpr unsigned kPromptUserForOptions = 8;
constexpr unsigned kIgnoreErrors = 10;
inline unsigned OptionField(uint32_t word, unsigned shift) { return (word >> shift) & 3u; }
inline void SetOptionField(uint32_t* word, unsigned shift, uint32_t value) {
  *word = (*word & ~(3u << shift)) | ((value & 3u) << shift);
}

// Every number of the archive is little-endian (but the low-bit table's words).
inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Size profiles: window 32 KiB << index, minimum match 4, distance width 7 + index.
constexpr unsigned kProfileCount = 9;
constexpr uint32_t kWindowUnit = 32768;
constexpr unsigned kMinMatch = 4;

// Data blocks.
constexpr unsigned kBlockHeaderSize = 10;
constexpr unsigned kBlockCrcOffset = 6;
constexpr unsigned kMaxStoredLength = 58344;     // longest stored stream
constexpr unsigned kStreamBufferSize = 65536;    // per stream, and cells of the low-bit table
constexpr unsigned kLastBlockMark = 9;           // header byte 0 bits 0-4 above 8: last block
constexpr unsigned kLengthEscape = 255;

// Solid header: count (4), check (2), packed length (4), packed entries.
constexpr unsigned kSolidHeaderFixed = 10;
constexpr unsigned kEntryFixedSize = 16;         // time, size, name length, attributes, 6 reserved
constexpr unsigned kEntryBudget = 276;           // header buffer bytes reserved per file
constexpr unsigned kFileTableStart = 3000;
constexpr unsigned kFileTableStep = 2000;
