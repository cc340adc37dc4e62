// Low-level reads from the archive file: little-endian fields, counted byte
// runs, and the bit reader that unpacks values packed most significant bit
// first into big-endian 16-bit words (the distance low-bit table).
#include <cstdint>
#include <cstdio>

#include "container/container.h"
#include "engine/engine.h"

namespace {

// Bit reader state. Invariants: 0 <= available <= 16, and the bits of
// holding above the `available` low bits are always zero.
struct BitReaderState {
  uint16_t holding;   // H: the word whose low `available` bits are unread
  int16_t available;  // A: count of valid bits left in holding
};
BitReaderState gBits = {0, 0};

// mask[k] = 2^k - 1 for k = 0..16.
const uint16_t kMasks[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                             0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                             0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

// Next big-endian word of the archive; a word that cannot be read whole
// counts as 0xFFFF (the block CRC then reports the damage).
uint16_t ReadWordBigEndian() {
  uint8_t pair[2] = {0, 0};
  if (ReadBytes(pair, 2) != 2) return 0xFFFFu;
  return static_cast<uint16_t>((pair[0] << 8) | pair[1]);
}

}  // namespace

uint32_t ReadBytes(uint8_t* buffer, uint32_t count) {
  if (gContainer.archive == nullptr || count == 0) return 0;
  return static_cast<uint32_t>(std::fread(buffer, 1, count, gContainer.archive));
}

int ReadU32(uint32_t* value) {
  uint8_t b[4] = {0, 0, 0, 0};
  const uint32_t got = ReadBytes(b, 4);
  *value = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  return got == 4 ? 0 : 1;
}

int ReadU16(uint16_t* value) {
  uint8_t b[2] = {0, 0};
  const uint32_t got = ReadBytes(b, 2);
  *value = static_cast<uint16_t>(b[0] | (b[1] << 8));
  return got == 2 ? 0 : 1;
}

void StartBitReader() {
  gBits.holding = ReadWordBigEndian();
  gBits.available = 16;
}

// Returns the next n bits (1 <= n <= 16). A new word is fetched only when the
// value needs it, or when the current word is used up exactly and `more`
// says another value follows; so a run of c values of k bits reads exactly
// max(1, ceil(c * k / 16)) words, counting the start word.
uint16_t ReadBits(int n, int more) {
  uint16_t value;
  if (gBits.available >= n) {
    value = static_cast<uint16_t>(gBits.holding >> (gBits.available - n));
    if (gBits.available == n && more) {
      gBits.holding = ReadWordBigEndian();
      gBits.available = 16;
    } else {
      gBits.available = static_cast<int16_t>(gBits.available - n);
      gBits.holding &= kMasks[gBits.available];
    }
  } else {
    const int fromNext = n - gBits.available;  // bits taken from the new word
    value = gBits.holding;
    gBits.holding = ReadWordBigEndian();
    value = static_cast<uint16_t>((value << fromNext) | (gBits.holding >> (16 - fromNext)));
    gBits.available = static_cast<int16_t>(16 - fromNext);
    gBits.holding &= kMasks[gBits.available];
  }
  return value;
}
