// A structural walk over a self-extractor held in memory: from its archive
// header to where its last data block ends. Nothing is decoded; every length
// is checked before it is used, so a damaged or hostile file ends the walk
// with a message naming the offset.
#include <cstring>

#include "format/crc.h"
#include "format/format.h"
#include "tool/archive_walk.h"
#include "tool/util.h"

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

ArchiveLayout WalkArchive(const packer::Bytes& bytes, uint64_t headerStart, const std::string& what) {
  ArchiveLayout layout;
  layout.headerStart = headerStart;
  Cursor cursor{bytes, headerStart, what};
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
