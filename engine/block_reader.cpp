// Block reader: reads one data block from the archive file, decodes its
// model-coded streams, unpacks the distance low-bit table and checks the
// block's running CRC, leaving everything in gBlock and the stream buffers of
// gDecoder for the window expansion.
#include <cstdint>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "startup/startup.h"

BlockState gBlock;

namespace {

constexpr uint32_t kWorkBufferSize = 409600;

// Reader state. Invariants: after ReadBlock every count in gBlock is at most
// kStreamBufferSize, so the expansion's reads stay inside the stream buffers
// and the table; `work` holds the stored bytes of the last compressed stream
// (or the table's bytes while its CRC is taken). `failed` is set by a short read, an over-long
// stream or a stream that would not fit, and makes ReadBlock return 1.
struct BlockReaderState {
  uint8_t work[kWorkBufferSize];
  int failed;
};
BlockReaderState gReader;

// Reads one stream record into *count and buffer, decodes it when compressed,
// and chains its decoded bytes into the running CRC. Returns 0, or 1 when the
// block must be abandoned (the error has been reported).
int LoadStream(uint32_t* count, uint8_t* buffer, int compressed) {
  uint32_t storedLength = 0;
  if (ReadU32(count) != 0 || ReadU32(&storedLength) != 0) {
    ReportError(4, nullptr);
    return 1;
  }
  if (storedLength > kMaxStoredLength) {
    ReportError(4, nullptr);
    return 1;
  }
  // More decoded bytes than a stream buffer holds: refused like a damaged block.
  if (*count > kStreamBufferSize) {
    ReportError(2, nullptr);
    return 1;
  }
  // A compressed stream's stored bytes go to the work buffer and are decoded
  // from there straight into the stream buffer, so no decoded byte is copied.
  uint8_t* target = compressed ? gReader.work : buffer;
  if (ReadBytes(target, storedLength) != storedLength) {
    ReportError(4, nullptr);
    return 1;
  }
  if (compressed) {
    uint32_t produced = storedLength;
    DecodeStream(*count, gReader.work, &produced, buffer);
    Crc32Update(buffer, produced, &gBlock.runningCrc);
  } else {
    Crc32Update(buffer, storedLength, &gBlock.runningCrc);
  }
  return 0;
}

// Unpacks one value of w - 8 bits per match into the table (the start word is
// read even for no matches) and chains the cells, low byte first, into the
// running CRC.
void LoadLowBitTable(uint32_t matchCount, int bits) {
  uint16_t* table = gDecoder.lowBitTable;
  StartBitReader();
  for (uint32_t i = 0; i < matchCount; ++i) {
    table[i] = ReadBits(bits, i + 1 < matchCount);
  }
  for (uint32_t i = 0; i < matchCount; ++i) {
    gReader.work[2 * i] = static_cast<uint8_t>(table[i] & 0xFFu);
    gReader.work[2 * i + 1] = static_cast<uint8_t>(table[i] >> 8);
  }
  Crc32Update(gReader.work, 2 * matchCount, &gBlock.runningCrc);
}

// Loads the five streams in block order, with the progress text after each.
// Stops at the first stream that fails.
int LoadStreams(const uint8_t* header) {
  static const char* const kProgress[5] = {
      "Please wait, defrosting blocks ..",
      "Please wait, defrosting blocks ....",
      "Please wait, defrosting blocks .......",
      "Please wait, defrosting blocks ...........",
      "Please wait, defrosting blocks ...............",
  };
  uint32_t* counts[5] = {&gBlock.flagCount, &gBlock.literalCount, &gBlock.lengthCount,
                         &gBlock.matchCount, &gBlock.middleCount};
  uint8_t* buffers[5] = {gDecoder.flagStream, gDecoder.literalStream, gDecoder.lengthStream,
                         gDecoder.highStream, gDecoder.middleStream};
  const int compressed[5] = {(header[0] >> 5) & 1, (header[0] >> 6) & 1, (header[0] >> 7) & 1,
                             header[1] & 1, (header[1] >> 1) & 1};
  for (int i = 0; i < 5; ++i) {
    if (LoadStream(counts[i], buffers[i], compressed[i]) != 0) return 1;
    StatusText(kProgress[i]);
  }
  return 0;
}

void ClearCounts() {
  gBlock.flagCount = 0;
  gBlock.literalCount = 0;
  gBlock.lengthCount = 0;
  gBlock.matchCount = 0;
  gBlock.middleCount = 0;
}

}  // namespace

int ReadBlock() {
  StatusText("Please wait, defrosting blocks ");
  gReader.failed = 0;
  gBlock.runningCrc = 0xFFFFFFFFu;

  uint8_t header[kBlockHeaderSize] = {};
  if (ReadBytes(header, kBlockHeaderSize) != kBlockHeaderSize) {
    ReportError(4, nullptr);
    gReader.failed = 1;
  }
  gBlock.lastBits = static_cast<uint8_t>(header[0] & 0x1Fu);
  gBlock.blockCrc = static_cast<uint32_t>(header[kBlockCrcOffset]) |
                    (static_cast<uint32_t>(header[kBlockCrcOffset + 1]) << 8) |
                    (static_cast<uint32_t>(header[kBlockCrcOffset + 2]) << 16) |
                    (static_cast<uint32_t>(header[kBlockCrcOffset + 3]) << 24);

  // A block that came short or broke a limit is abandoned where it failed:
  // nothing more is read and ReadBlock returns 1 (the error is reported).
  if (!gReader.failed && LoadStreams(header) != 0) gReader.failed = 1;
  if (gReader.failed) {
    ClearCounts();
  } else if (gDecoder.distanceWidth > 8) {
    // The match count comes from the distance-high stream; it was checked
    // against the table's 65,536 cells with that stream's decoded count.
    LoadLowBitTable(gBlock.matchCount, gDecoder.distanceWidth - 8);
  } else {
    gDecoder.lowBitTable[0] = 0;
    gDecoder.lowBitTable[1] = 0;
  }

  gBlock.literalCursor = 0;
  gBlock.lengthCursor = 0;
  gBlock.highCursor = 0;
  gBlock.middleCursor = 0;
  gBlock.tableCursor = 0;
  if (gReader.failed) return 1;

  if (gBlock.runningCrc == gBlock.blockCrc) {
    StatusText("Please wait, defrosting blocks ............... OK!");
    return 0;
  }
  ReportError(2, nullptr);
  return 1;
}
