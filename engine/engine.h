// Decompression engine: CRC-32 forms, field and bit readers, the adaptive
// model decoder and the block reader.
#pragma once

#include <cstdint>
#include <cstdio>

// ---- crc.cpp ---------------------------------------------------------------
uint32_t Crc32Update(const uint8_t* bytes, uint32_t length, uint32_t* state);
// The standard CRC-32 of a buffer (a fresh state of 0xFFFFFFFF), and its low
// 16 bits.
inline uint32_t Crc32Of(const uint8_t* bytes, uint32_t length) {
  uint32_t state = 0xFFFFFFFFu;
  return Crc32Update(bytes, length, &state);
}
inline uint16_t Crc16Of(const uint8_t* bytes, uint32_t length) {
  return static_cast<uint16_t>(Crc32Of(bytes, length) & 0xFFFFu);
}

// ---- readers.cpp: little-endian fields and the bit reader ---------------------
// Reads from the archive file of the container (gContainer.archive).
int ReadU32(uint32_t* value);              // 0, or 1 on a short read
int ReadU16(uint16_t* value);
uint32_t ReadBytes(uint8_t* buffer, uint32_t count);  // count actually read
void StartBitReader();
uint16_t ReadBits(int n, int more);

// ---- model_decoder.cpp -------------------------------------------------------
// Decodes one model-coded stream of decodedCount bytes from `stored`
// (*length bytes) into destination; sets *length to the bytes produced.
// destination must not overlap stored.
void DecodeStream(uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                  uint8_t* destination);

// One model-coded stream for DecodeStreams. The stored bytes must be followed
// by kStreamPadding zero bytes that the decoder may load (it reads whole words);
// storedLength is at most kStreamBufferSize and decodedCount at most
// kStreamBufferSize. Each stream yields exactly decodedCount bytes.
constexpr uint32_t kStreamPadding = 8;
struct StreamJob {
  const uint8_t* stored;
  uint32_t storedLength;
  uint32_t decodedCount;
  uint8_t* destination;
};
// Decodes several independent streams at once (their decodings are
// interleaved, which lets the processor overlap them); the bytes produced are
// exactly those that DecodeStream gives for each stream on its own.
void DecodeStreams(const StreamJob* jobs, uint32_t count);

// ---- block_reader.cpp --------------------------------------------------------
struct BlockState {
  uint32_t flagCount;       // decoded bytes of the flag stream
  uint32_t literalCursor;   // read cursors, 0 after every ReadBlock
  uint32_t lengthCursor;
  uint32_t highCursor;
  uint32_t middleCursor;
  uint32_t tableCursor;
  // Decoded counts kept beside the cursors so that the expansion never reads
  // past what the block holds.
  uint32_t literalCount;
  uint32_t lengthCount;
  uint32_t matchCount;      // from the distance-high stream
  uint32_t middleCount;
  uint8_t lastBits;         // header byte 0 & 0x1F
  uint32_t blockCrc;
  uint32_t runningCrc;
};
extern BlockState gBlock;

int ReadBlock();  // 0: read and CRC matched; 1: not
