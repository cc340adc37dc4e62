// Block reader: reads one data block from the archive file, decodes its
// model-coded streams, unpacks the distance low-bit table and checks the
// block's running CRC, leaving everything in gBlock and the stream buffers of
// gDecoder for the window expansion.
#include <cstdint>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "startup/startup.h"

BlockState gBlock;

namespace {

constexpr uint32_t kWorkBufferSize = 409600;

// Reader state. Invariants: after ReadBlock every count in gBlock is at most
// kStreamBufferSize, so the expansion's reads stay inside the stream buffers
// and the table; `work` holds the stored bytes of the compressed streams
// (or the table's bytes while its CRC is taken). `failed` is set by a short read, an over-long
// stream or a stream that would not fit, and makes ReadBlock return 1.
struct BlockReaderState {
  uint8_t work[kWorkBufferSize];
  int failed;
};
BlockReaderState gReader;

// Each compressed stream's stored bytes go to their own slot of the work
// buffer, followed by the zero bytes that the decoder may load past them; all
// the block's compressed streams are then decoded together, straight into
// their stream buffers, so no decoded byte is copied.
constexpr uint32_t kSlotSize = kMaxStoredLength + kStreamPadding;
static_assert(5 * kSlotSize <= kWorkBufferSize, "five stored streams fit the work buffer");

// Reads one stream record into *count and, when stored as is, into buffer;
// a compressed stream's bytes go to `slot` and are added to `jobs`. Sets
// *yield to the number of bytes the stream leaves in buffer. Returns 0, or 1
// when the block must be abandoned (the error has been reported).
int LoadStream(uint32_t* count, uint8_t* buffer, uint8_t* slot, StreamJob* jobs,
               uint32_t* jobCount, uint32_t* yield) {
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
  uint8_t* target = slot != nullptr ? slot : buffer;
  if (ReadBytes(target, storedLength) != storedLength) {
    ReportError(4, nullptr);
    return 1;
  }
  *yield = storedLength;
  if (slot != nullptr) {
    std::memset(slot + storedLength, 0, kStreamPadding);
    jobs[(*jobCount)++] = StreamJob{slot, storedLength, *count, buffer};
    *yield = *count;
  }
  return 0;
}

// Unpacks one value of w - 8 bits per match into the table and chains the
// cells, low byte first, into the running CRC. The values are packed most
// significant bit first into big-endian 16-bit words, max(1, ceil(count *
// bits / 16)) of them (the start word is there even for no matches); they are
// read in one piece, and a word that the file does not hold whole reads as
// 0xFFFF, as the word-by-word bit reader would give it.
void LoadLowBitTable(uint32_t matchCount, int bits) {
  uint16_t* table = gDecoder.lowBitTable;
  uint32_t words = (matchCount * static_cast<uint32_t>(bits) + 15) / 16;
  if (words == 0) words = 1;
  uint8_t* packed = gReader.work;
  const uint32_t got = ReadBytes(packed, 2 * words);
  for (uint32_t i = got & ~1u; i < 2 * words; ++i) packed[i] = 0xFF;
  uint64_t buffer = 0;  // the next `held` bits at the bottom
  int held = 0;
  const uint8_t* next = packed;
  const uint32_t mask = (1u << bits) - 1;
  for (uint32_t i = 0; i < matchCount; ++i) {
    if (held < bits) {
      buffer = (buffer << 16) | (static_cast<uint32_t>(next[0]) << 8) | next[1];
      next += 2;
      held += 16;
    }
    held -= bits;
    table[i] = static_cast<uint16_t>((buffer >> held) & mask);
  }
  uint8_t* cells = gReader.work;
  for (uint32_t i = 0; i < matchCount; ++i) {
    cells[2 * i] = static_cast<uint8_t>(table[i] & 0xFFu);
    cells[2 * i + 1] = static_cast<uint8_t>(table[i] >> 8);
  }
  Crc32Update(cells, 2 * matchCount, &gBlock.runningCrc);
}

// Loads the five streams in block order, with the progress text after each,
// decodes the compressed ones and chains every stream's bytes into the
// running CRC in block order. Stops at the first stream that fails.
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
  StreamJob jobs[5];
  uint32_t jobCount = 0;
  uint32_t lengths[5];
  for (int i = 0; i < 5; ++i) {
    uint8_t* slot = compressed[i] ? gReader.work + i * kSlotSize : nullptr;
    if (LoadStream(counts[i], buffers[i], slot, jobs, &jobCount, &lengths[i]) != 0) return 1;
    StatusText(kProgress[i]);
  }
  DecodeStreams(jobs, jobCount);
  for (int i = 0; i < 5; ++i) Crc32Update(buffers[i], lengths[i], &gBlock.runningCrc);
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
