// Byte layout of the appended archive: every constant of the format in one
// place, next to the layout it describes, and every value derived from them.
// Shared by the stubs, the packer, the tool, the tests and the fuzz targets.
#pragma once

#include <cstdint>

// Appended archive, offsets from the first byte of the overlay signature:
//   0   57  overlay signature (no terminating zero)
//   57  16  options record: T, E, unused, option word (u32 LE each)
//   73  T   temporary folder text
//   73+T E  execute text: '"' '[' file ']' arguments '"'
//   +E  36  archive header
//   then the solid header and the data blocks.
// The stubs hold the signature text once, in format/signature.cpp.
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
inline uint8_t SolidFlagOf(const uint8_t* header) { return (header[kHeaderSettingsOffset] >> 2) & 3u; }
inline uint8_t ProfileIndexOf(const uint8_t* header) { return header[kHeaderSettingsOffset] >> 4; }
inline uint8_t MakeHeaderSettings(uint8_t solidFlag, uint8_t profile) {
  return static_cast<uint8_t>(((solidFlag & 3u) << 2) | ((profile & 15u) << 4));
}

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
inline void StoreLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void StoreLe16(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}
// Appends the four bytes of value to a byte vector (any type with push_back).
template <typename Bytes>
void AppendLe32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Size profiles: profile p has a window of 32 KiB << p, the minimum match 4
// and a distance of 8 + (7 + p) bits: a middle byte and 7 + p high and low
// bits, exactly what reaches every byte of the window.
constexpr unsigned kProfileCount = 9;
constexpr uint32_t kWindowUnit = 32768;
constexpr unsigned kMinMatch = 4;
constexpr uint32_t WindowSizeOf(unsigned profile) { return kWindowUnit << profile; }
constexpr uint32_t WindowKibOf(unsigned profile) { return WindowSizeOf(profile) / 1024; }
constexpr unsigned DistanceWidthOf(unsigned profile) { return 7 + profile; }
static_assert(WindowKibOf(0) == 32 && WindowSizeOf(kProfileCount - 1) == 8u << 20,
              "profiles 0..8 give windows of 32 KiB to 8 MiB");
static_assert((uint32_t{1} << (8 + DistanceWidthOf(0))) == WindowSizeOf(0) &&
                  (uint32_t{1} << (8 + DistanceWidthOf(kProfileCount - 1))) ==
                      WindowSizeOf(kProfileCount - 1),
              "a distance's bits reach exactly the window");

// Data blocks. Header byte 0: bits 0-4 the items in the last flag byte (above
// 8: last block), bits 5-7 "coded" for the flag, literal and length streams;
// byte 1: bits 0-1 "coded" for the distance-high and middle streams.
constexpr unsigned kBlockHeaderSize = 10;
constexpr unsigned kBlockCrcOffset = 6;
constexpr unsigned kStreamCount = 5;             // flag, literal, length, distance high, middle
constexpr unsigned kMaxStoredLength = 58344;     // longest stored stream
constexpr unsigned kStreamBufferSize = 65536;    // per stream, and cells of the low-bit table
constexpr unsigned kLastBlockMark = 9;           // header byte 0 bits 0-4 above 8: last block
constexpr unsigned kLengthEscape = 255;
// Where stream i's "coded" bit sits in the block header: byte, bit.
constexpr uint8_t kCodedBitByte[kStreamCount] = {0, 0, 0, 1, 1};
constexpr uint8_t kCodedBitShift[kStreamCount] = {5, 6, 7, 0, 1};
inline bool IsStreamCoded(const uint8_t* header, unsigned stream) {
  return (header[kCodedBitByte[stream]] >> kCodedBitShift[stream]) & 1u;
}
inline void MarkStreamCoded(uint8_t* header, unsigned stream) {
  header[kCodedBitByte[stream]] = static_cast<uint8_t>(header[kCodedBitByte[stream]] | 1u << kCodedBitShift[stream]);
}

// The model coder's twelve adaptive models: model 0 codes a byte's class,
// models 1..11 the offset inside classes 3..13. Counts are halved once a
// model's total passes kModelLimit.
constexpr unsigned kModelCount = 12;
constexpr uint32_t kModelLimit = 1000;
struct ModelShape {
  uint32_t symbols;
  uint32_t initialCount;
};
constexpr ModelShape kModelShapes[kModelCount] = {
    {16, 12}, {2, 4},  {4, 4},  {8, 4},  {32, 4}, {32, 3},
    {32, 3},  {32, 3}, {32, 3}, {32, 2}, {32, 2}, {32, 2}};
// Value of class c is kClassBase[c] + offset symbol (classes 3..13) or the base
// itself (classes 1, 2, 14). Classes 15 and 16 never occur in a well-formed
// stream; they yield the byte 0.
constexpr unsigned kClassCount = 17;
constexpr uint8_t kClassBase[kClassCount] = {0,  0,   1,   1,   3,   7,   15,  47, 63,
                                             95, 127, 159, 191, 223, 255, 0,   0};
constexpr bool HasOffset(uint32_t c) { return c >= 3 && c <= 13; }
static_assert(kModelShapes[0].symbols == 16 && kModelCount == 1 + (13 - 3 + 1),
              "model 0 picks one of classes 1..16; classes 3..13 have an offset model each");
static_assert(kClassBase[13] + kModelShapes[13 - 2].symbols == 255 &&
                  kClassBase[3] + kModelShapes[3 - 2].symbols == kClassBase[4],
              "the offsets of classes 3..13 cover the byte values");

// Solid header: count (4), check (2), packed length (4), packed entries.
constexpr unsigned kSolidHeaderFixed = 10;
constexpr unsigned kEntryFixedSize = 16;         // time, size, name length, attributes, 6 reserved
constexpr unsigned kEntryBudget = 276;           // header buffer bytes reserved per file
constexpr unsigned kFileTableStart = 3000;
constexpr unsigned kFileTableStep = 2000;

// Extension record: written by dolm pack, placed directly before the
// archive's overlay signature, so that the format's own reading passes over
// it (it lies in the bytes the search skips). The options record's third
// field, which the format never reads, holds its size S (0: no record).
//   A - S      entries, each: u16 type (bit 15: required), u32 length, value
//   A - 16  4  S again
//   A - 12  2  record version (1)
//   A - 10  2  0
//   A - 8   4  CRC-32 of the record's first S - 8 bytes
//   A - 4   4  magic "DLMX"
// A reader passes over an optional entry it does not know and refuses a
// required one. A third field that is not 0 but does not lead to the magic
// is taken as no record, so archives of other makers are read as they are.
constexpr unsigned kExtensionTrailerSize = 16;
constexpr uint32_t kExtensionMagic = 0x584D4C44;       // "DLMX" read little-endian
constexpr uint16_t kExtensionVersion = 1;
constexpr uint32_t kExtensionMaxSize = 131072;         // whole record, licence included
constexpr unsigned kExtensionEntryHeader = 6;          // type, length
constexpr uint16_t kExtensionRequired = 0x8000;        // type bit: a reader must know it
// Entry types (the low 15 bits).
constexpr uint16_t kEntryBehaviour = 1;  // u32: kBehave* bits
constexpr uint16_t kEntryTitle = 2;      // text: the caption of the stub's windows
constexpr uint16_t kEntryLicence = 3;    // text: shown before anything is written
// Names entry, written required (a reader that would take the names as 8-bit
// text must refuse): every stored name, the execute text, the folder text,
// the title and the licence are UTF-8. Its value is a u16, the ANSI code
// page a Windows without wide file functions converts the names to.
constexpr uint16_t kEntryUtf8Names = 4;
// Unix entry, written required (no value): the first two reserved bytes of
// every file entry of the solid header hold the file's mode as Unix stores
// it (type and permission bits, LE; 0: none stored, a regular file whose
// permissions the reader chooses). A symbolic link's data is its target
// (relative, '/' separators); a folder's name is the folder, its size 0.
constexpr uint16_t kEntryUnixModes = 5;
constexpr unsigned kStoredModeOffset = 10;  // in a file entry of the solid header
constexpr uint16_t kModeTypeMask = 0170000;
constexpr uint16_t kModeRegular = 0100000;
constexpr uint16_t kModeFolder = 0040000;
constexpr uint16_t kModeLink = 0120000;
constexpr uint16_t kModeSpecialBits = 07000;  // setuid, setgid, sticky
constexpr uint16_t kModePermissionBits = 0777;
// A link's target is 1 to kLinkTargetMax bytes (the system's own path limit
// less its zero); a longer or empty one is damage.
constexpr uint32_t kLinkTargetMax = 4095;
// Behaviour bits of kEntryBehaviour.
constexpr uint32_t kBehaveExitCodes = 1u << 0;      // exit codes scripts can use, no box when silent
constexpr uint32_t kBehavePrivateFolder = 1u << 1;  // a fresh folder per run under the temporary folder
constexpr uint32_t kBehaveSwitches = 1u << 2;       // switches as people type them, "--"
constexpr uint32_t kBehaveCheckFirst = 1u << 3;     // the whole archive checked before any write; temporary names
constexpr uint32_t kBehaveProgress = 1u << 4;       // progress (window on Windows, line on a terminal)
constexpr uint32_t kBehaveAll = (1u << 5) - 1;
