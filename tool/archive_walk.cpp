// A structural walk over a self-extractor held in memory: where its archive
// starts, its option block, its archive header, and where its last data block
// ends. Nothing is decoded; every length is checked before it is used, so a
// damaged or hostile file ends the walk with a message naming the offset.
#include "format/crc.h"
#include "format/format.h"
#include "format/signature.h"
#include "tool/tool.h"

namespace tool {

namespace {

constexpr uint32_t kMaxMatches = kStreamBufferSize;  // cells of the low-bit table

// Reads little-endian fields from the file, refusing any read past its end.
struct Cursor {
  const packer::Bytes& bytes;
  uint64_t at;
  const std::string& what;

  void Need(uint64_t count, const char* part) const {
    if (count > bytes.size() || at > bytes.size() - count)
      throw Failure("'" + what + "': the archive ends inside " + part + " (byte offset " +
                    std::to_string(at) + ")");
  }
  uint32_t U32(const char* part) {
    Need(4, part);
    const uint32_t value = LoadLe32(&bytes[at]);
    at += 4;
    return value;
  }
  void Skip(uint64_t count, const char* part) {
    Need(count, part);
    at += count;
  }
};

// Offset of the archive's signature: the second copy in the search window
// (the first is the stub's own), wholly inside the window.
uint64_t FindArchive(const packer::Bytes& bytes, const std::string& what) {
  const size_t window = bytes.size() < kSearchWindow ? bytes.size() : kSearchWindow;
  const long first = FindOverlaySignature(bytes.data(), window, 0);
  const long second = first < 0 ? -1 : FindOverlaySignature(bytes.data(), window, static_cast<size_t>(first) + 1);
  if (second >= 0) return static_cast<uint64_t>(second);
  throw Failure("'" + what + "' holds no archive (no second overlay signature in its first " +
                std::to_string(kSearchWindow) + " bytes)");
}

void WalkBlocks(Cursor& cursor, uint32_t width, const std::string& what) {
  for (;;) {
    uint64_t blockStart = cursor.at;
    cursor.Need(kBlockHeaderSize, "a block header");
    bool last = (cursor.bytes[cursor.at] & 0x1F) >= kLastBlockMark;
    cursor.Skip(kBlockHeaderSize, "a block header");
    uint32_t matches = 0;
    for (uint32_t record = 0; record < kStreamCount; ++record) {
      uint32_t decoded = cursor.U32("a stream record");
      uint32_t stored = cursor.U32("a stream record");
      if (stored > kMaxStoredLength)
        throw Failure("'" + what + "': a stream of the block at byte offset " +
                      std::to_string(blockStart) + " is longer than the format allows");
      cursor.Skip(stored, "a stream");
      if (record == 3) matches = decoded;  // the distance-high stream counts the matches
    }
    if (width > 8) {
      if (matches > kMaxMatches)
        throw Failure("'" + what + "': the block at byte offset " + std::to_string(blockStart) +
                      " has more matches than the format allows");
      uint64_t words = (uint64_t{matches} * (width - 8) + 15) / 16;
      cursor.Skip(2 * (words == 0 ? 1 : words), "a distance table");
    }
    if (last) return;
  }
}

}  // namespace

ArchiveLayout WalkArchive(const packer::Bytes& bytes, const std::string& what) {
  ArchiveLayout layout;
  layout.archiveStart = FindArchive(bytes, what);
  Cursor cursor{bytes, layout.archiveStart + kSignatureLength, what};
  uint32_t tempLength = cursor.U32("the option block");
  uint32_t execLength = cursor.U32("the option block");
  layout.options.unused = cursor.U32("the option block");
  layout.options.optionWord = cursor.U32("the option block");
  if (tempLength > kMaxOptionText || execLength > kMaxOptionText)
    throw Failure("'" + what + "': a stored text is longer than " + std::to_string(kMaxOptionText) +
                  " bytes");
  cursor.Need(uint64_t{tempLength} + execLength, "the option block");
  auto text = [&](uint32_t length) {
    std::string value(bytes.begin() + static_cast<long>(cursor.at),
                      bytes.begin() + static_cast<long>(cursor.at + length));
    cursor.at += length;
    return value;
  };
  layout.options.tempFolder = text(tempLength);
  layout.options.executeText = text(execLength);

  layout.headerStart = cursor.at;
  cursor.Need(kArchiveHeaderSize, "the archive header");
  const uint8_t* header = &bytes[cursor.at];
  uint32_t marker = LoadLe32(header);
  uint32_t crc = LoadLe32(header + kHeaderCrcOffset);
  if (marker != kArchiveMarker || header[kHeaderTagOffset] != kHeaderTag ||
      crc != Crc32Of(header, kHeaderCrcOffset))
    throw Failure("'" + what + "': the archive header at byte offset " + std::to_string(cursor.at) +
                  " is damaged");
  uint32_t profile = ProfileIndexOf(header);
  if (profile >= kProfileCount)
    throw Failure("'" + what + "': the archive header names no known size profile");
  cursor.Skip(kArchiveHeaderSize, "the archive header");

  cursor.Skip(6, "the solid header");  // file count and header check
  uint32_t packedLength = cursor.U32("the solid header");
  cursor.Skip(packedLength, "the solid header");
  WalkBlocks(cursor, DistanceWidthOf(profile), what);
  layout.end = cursor.at;
  return layout;
}

}  // namespace tool
