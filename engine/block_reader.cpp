// Block reader: reads one data block from the archive file, decodes its
// model-coded streams, unpacks the distance low-bit table and checks the
// block's running CRC, leaving the streams in the engine's buffers and their
// counts in the block state for the window expansion.
#include <cstdint>
#include <cstring>

#include "format/format.h"
#include "engine/engine.h"

namespace {

// Each compressed stream's stored bytes go to their own slot of the work
// buffer, followed by the zero bytes that the decoder may load past them; all
// the block's compressed streams are then decoded together, straight into
// their stream buffers, so no decoded byte is copied. A stream buffer holds
// the stored bytes under the decoded ones: where a stream decodes to fewer
// bytes than it stores, the rest of the stored bytes are copied in behind them.
constexpr uint32_t kSlotSize = kMaxStoredLength + kStreamPadding;
static_assert(5 * kSlotSize <= kWorkBufferSize, "five stored streams fit the work buffer");

// Reads one stream record into *count and, when stored as is, into buffer;
// a compressed stream's bytes go to `slot` and are added to `jobs`. Sets
// *yield to the number of bytes the stream leaves in buffer. A failure
// abandons the block.
Result LoadStream(FILE* file, uint32_t* count, uint8_t* buffer, uint8_t* slot, StreamJob* jobs,
                  uint32_t* jobCount, uint32_t* yield) {
  uint32_t storedLength = 0;
  if (!ReadU32(file, count) || !ReadU32(file, &storedLength)) return Result{kErrorEndOfFile};
  if (storedLength > kMaxStoredLength) return Result{kErrorEndOfFile};
  // More decoded bytes than a stream buffer holds: refused like a damaged block.
  if (*count > kStreamBufferSize) return Result{kErrorDamaged};
  uint8_t* target = slot != nullptr ? slot : buffer;
  if (ReadBytes(file, target, storedLength) != storedLength) return Result{kErrorEndOfFile};
  *yield = storedLength;
  if (slot != nullptr) {
    std::memset(slot + storedLength, 0, kStreamPadding);
    jobs[(*jobCount)++] = StreamJob{slot, storedLength, *count, buffer};
    *yield = *count;
  }
  return kOk;
}

// Unpacks one value of w - 8 bits per match into the table and chains the
// cells, low byte first, into the running CRC. The values are packed most
// significant bit first into big-endian 16-bit words, max(1, ceil(count *
// bits / 16)) of them (the start word is there even for no matches); they are
// read in one piece, and a word that the file does not hold whole reads as
// 0xFFFF, as the word-by-word bit reader would give it.
void LoadLowBitTable(FILE* file, Engine* engine, BlockState* block, int bits) {
  const uint32_t matchCount = block->matchCount;
  uint16_t* table = engine->lowBitTable;
  uint32_t words = (matchCount * static_cast<uint32_t>(bits) + 15) / 16;
  if (words == 0) words = 1;
  uint8_t* packed = engine->work;
  const uint32_t got = ReadBytes(file, packed, 2 * words);
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
  uint8_t* cells = engine->work;
  for (uint32_t i = 0; i < matchCount; ++i) {
    cells[2 * i] = static_cast<uint8_t>(table[i] & 0xFFu);
    cells[2 * i + 1] = static_cast<uint8_t>(table[i] >> 8);
  }
  Crc32Update(cells, 2 * matchCount, &block->runningCrc);
}

// Loads the five streams in block order, leaving the compressed ones as
// jobs for the decoder. Stops at the first stream that fails.
Result LoadStreams(FILE* file, Engine* engine, BlockState* block, const uint8_t* header, PendingBlock* pending) {
  uint32_t* counts[kStreamCount] = {&block->flagCount, &block->literalCount, &block->lengthCount,
                                    &block->matchCount, &block->middleCount};
  uint8_t* buffers[kStreamCount] = {engine->flagStream, engine->literalStream, engine->lengthStream,
                                    engine->highStream, engine->middleStream};
  for (unsigned i = 0; i < kStreamCount; ++i) {
    uint8_t* slot = IsStreamCoded(header, i) ? engine->work + i * kSlotSize : nullptr;
    const uint32_t coded = pending->jobCount;
    Result loaded = LoadStream(file, counts[i], buffers[i], slot, pending->jobs, &pending->jobCount,
                               &pending->lengths[i]);
    if (!loaded.ok()) return loaded;
    // A decoded stream has the rest of its stored bytes behind it (below).
    block->written[i] = pending->lengths[i];
    if (pending->jobCount != coded && pending->jobs[coded].storedLength > pending->lengths[i])
      block->written[i] = pending->jobs[coded].storedLength;
  }
  return kOk;
}

// After the decoding: copies the stored bytes that a decoded stream leaves
// behind it, and chains every stream's bytes into the running CRC in block
// order.
void FinishStreams(Engine* engine, BlockState* block, const PendingBlock* pending) {
  for (uint32_t j = 0; j < pending->jobCount; ++j) {
    const StreamJob& job = pending->jobs[j];
    if (job.decodedCount < job.storedLength)
      std::memcpy(job.destination + job.decodedCount, job.stored + job.decodedCount,
                  job.storedLength - job.decodedCount);
  }
  const uint8_t* buffers[kStreamCount] = {engine->flagStream, engine->literalStream, engine->lengthStream,
                                          engine->highStream, engine->middleStream};
  for (unsigned i = 0; i < kStreamCount; ++i) Crc32Update(buffers[i], pending->lengths[i], &block->runningCrc);
}

}  // namespace

void LoadBlock(FILE* file, Engine* engine, BlockState* block, PendingBlock* pending) {
  block->runningCrc = 0xFFFFFFFFu;
  pending->jobCount = 0;
  pending->result = kOk;
  uint8_t header[kBlockHeaderSize] = {};
  if (ReadBytes(file, header, kBlockHeaderSize) != kBlockHeaderSize) pending->result = Result{kErrorEndOfFile};
  block->lastBits = static_cast<uint8_t>(header[0] & 0x1Fu);
  block->blockCrc = LoadLe32(header + kBlockCrcOffset);
  if (pending->result.ok()) pending->result = LoadStreams(file, engine, block, header, pending);
  // A block that came short or broke a limit is abandoned where it failed:
  // nothing more is read, and nothing decoded.
  if (!pending->result.ok()) pending->jobCount = 0;
}

Result FinishBlock(FILE* file, Engine* engine, BlockState* block, const PendingBlock* pending, Faults* faults) {
  const Result result = pending->result;
  if (!result.ok()) {
    block->flagCount = block->literalCount = block->lengthCount = 0;
    block->matchCount = block->middleCount = 0;
  } else {
    FinishStreams(engine, block, pending);
    if (engine->distanceWidth > 8) {
      // The match count comes from the distance-high stream; it was checked
      // against the table's 65,536 cells with that stream's decoded count.
      LoadLowBitTable(file, engine, block, engine->distanceWidth - 8);
      block->written[kStreamCount] = block->matchCount;
    } else {
      engine->lowBitTable[0] = 0;
      engine->lowBitTable[1] = 0;
      block->written[kStreamCount] = 2;
    }
  }
  block->literalCursor = block->lengthCursor = block->highCursor = 0;
  block->middleCursor = block->tableCursor = 0;
  if (!result.ok()) return NoteFault(faults, result.error, "", std::ftell(file));
  if (block->runningCrc != block->blockCrc) return NoteFault(faults, kErrorDamaged, "", std::ftell(file));
  return kOk;
}

Result ReadBlock(FILE* file, Engine* engine, BlockState* block, Faults* faults) {
  PendingBlock pending;
  LoadBlock(file, engine, block, &pending);
  DecodeStreams(engine->decoder, pending.jobs, pending.jobCount);
  return FinishBlock(file, engine, block, &pending, faults);
}
