// The plain stub's CRC-32 update: the register pass one byte at a time, with
// the 256-entry table built at start-up (engine.h builds the other forms on it).
#include <cstdint>

#include "engine/engine.h"
#include "format/crc.h"

namespace {

struct PlainCrc {
  uint32_t table[256];
  int ready;
};
PlainCrc gPlainCrc;

void BuildTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    gPlainCrc.table[i] = r;
  }
  gPlainCrc.ready = 1;
}

}  // namespace

uint32_t Crc32Update(const uint8_t* bytes, uint32_t length, uint32_t* state) {
  if (!gPlainCrc.ready) BuildTable();
  uint32_t reg = *state;
  for (uint32_t i = 0; i < length; ++i) reg = (reg >> 8) ^ gPlainCrc.table[(reg ^ bytes[i]) & 0xFFu];
  *state = ~reg;
  return *state;
}

// Zero bytes one at a time, as they are written.
uint32_t Crc32OverZeros(uint32_t reg, uint64_t count) {
  if (!gPlainCrc.ready) BuildTable();
  for (; count != 0; --count) reg = (reg >> 8) ^ gPlainCrc.table[reg & 0xFFu];
  return reg;
}
