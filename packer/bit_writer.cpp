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
  // Bits gather in `pending` and leave it a byte at a time, first bit highest.
  uint64_t pending = 0;
  int pendingBits = 0;
  size_t next = 0;
  for (uint16_t value : values) {
    pending = (pending << bits) | (value & mask);
    pendingBits += bits;
    while (pendingBits >= 8) {
      pendingBits -= 8;
      out[next++] = static_cast<uint8_t>(pending >> pendingBits);
    }
  }
  if (pendingBits > 0) out[next] = static_cast<uint8_t>(pending << (8 - pendingBits));
  return out;
}

}  // namespace packer
