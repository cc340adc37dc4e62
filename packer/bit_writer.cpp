// Packs the distance low-bit table the way the stub's bit reader unpacks it:
// values most significant bit first, across big-endian 16-bit words, with no
// gaps, and at least one word even for no values.
#include <cstdint>
#include <vector>

#include "packer/packer.h"

namespace packer {

Bytes PackLowBits(const std::vector<uint16_t>& values, int bits) {
  const uint64_t totalBits = static_cast<uint64_t>(values.size()) * static_cast<unsigned>(bits);
  size_t words = static_cast<size_t>((totalBits + 15) / 16);
  if (words == 0) words = 1;
  Bytes out(2 * words, 0);
  const uint32_t mask = (1u << bits) - 1u;
  uint64_t position = 0;  // next bit, counted from the top of the first word
  for (uint16_t value : values) {
    const uint32_t v = value & mask;
    for (int b = bits - 1; b >= 0; --b, ++position) {
      if ((v >> b) & 1u) out[position / 8] |= static_cast<uint8_t>(0x80u >> (position % 8));
    }
  }
  return out;
}

}  // namespace packer
