// CRC-32 (the reflected polynomial of IEEE 802.3), as the archive header and
// the data blocks are checked with it.
#pragma once

#include <cstdint>

// Runs the register from *state with no complement on entry and stores the
// complement of the result in *state, which it also returns: chained calls
// therefore continue from a finished CRC, the rule the block CRCs follow.
uint32_t Crc32Update(const uint8_t* bytes, uint32_t length, uint32_t* state);
// The standard CRC-32 of a buffer (a fresh state of 0xFFFFFFFF), and its low
// 16 bits.
inline uint32_t Crc32Of(const uint8_t* bytes, uint32_t length) {
  uint32_t state = 0xFFFFFFFFu;
  return Crc32Update(bytes, length, &state);
}
// The register run over `count` zero bytes from reg (no complement on
// either side), in time that grows with the logarithm of count.
uint32_t Crc32OverZeros(uint32_t reg, uint64_t count);
inline uint16_t Crc16Of(const uint8_t* bytes, uint32_t length) {
  return static_cast<uint16_t>(Crc32Of(bytes, length) & 0xFFFFu);
}
