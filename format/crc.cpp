// CRC-32: the chained update that leaves the complement in the caller's state
// word (crc.h builds the standard CRC-32 of a buffer and its low 16 bits on
// it).
#include "format/crc.h"

#include <cstdint>

#include "format/format.h"

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;  // reflected CRC-32 of IEEE 802.3
constexpr unsigned kSlices = 8;

// table[0][i] is the remainder of the byte value i; table[k][i] is the
// remainder of i followed by k zero bytes, so eight bytes are folded into the
// register with eight independent lookups instead of a chain of eight.
struct CrcTables {
  uint32_t table[kSlices][256];
};

constexpr CrcTables MakeCrcTables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ kPolynomial : r >> 1;
    t.table[0][i] = r;
  }
  for (unsigned k = 1; k < kSlices; ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t previous = t.table[k - 1][i];
      t.table[k][i] = (previous >> 8) ^ t.table[0][previous & 0xFFu];
    }
  }
  return t;
}

// Built by the compiler: 8 KiB of constant data, no start-up work.
constexpr CrcTables kCrc = MakeCrcTables();
static_assert(kCrc.table[0][1] == 0x77073096u && kCrc.table[0][255] == 0x2D02EF8Du,
              "standard CRC-32 table");

}  // namespace

// Runs the register from the state's value with no complement on entry and
// stores the complement of the result; chained calls therefore continue from
// a finished CRC, which is the rule the block CRCs are computed with. Eight
// bytes at a time give the same register as eight single-byte steps.
uint32_t Crc32Update(const uint8_t* bytes, uint32_t length, uint32_t* state) {
  const uint32_t(*t)[256] = kCrc.table;
  uint32_t reg = *state;
  uint32_t i = 0;
  for (; length - i >= kSlices; i += kSlices) {
    const uint32_t low = LoadLe32(bytes + i) ^ reg;
    const uint32_t high = LoadLe32(bytes + i + 4);
    reg = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^
          t[4][low >> 24] ^ t[3][high & 0xFFu] ^ t[2][(high >> 8) & 0xFFu] ^
          t[1][(high >> 16) & 0xFFu] ^ t[0][high >> 24];
  }
  for (; i < length; ++i) {
    reg = (reg >> 8) ^ t[0][(reg ^ bytes[i]) & 0xFFu];
  }
  *state = ~reg;
  return *state;
}

namespace {

// A linear map of the 32-bit register as its 32 columns: the image of each bit.
struct CrcOperator {
  uint32_t column[32];
};

uint32_t Apply(const CrcOperator& op, uint32_t reg) {
  uint32_t out = 0;
  for (unsigned i = 0; reg != 0; ++i, reg >>= 1) out ^= (reg & 1u) ? op.column[i] : 0u;
  return out;
}

CrcOperator Square(const CrcOperator& op) {
  CrcOperator out;
  for (unsigned i = 0; i < 32; ++i) out.column[i] = Apply(op, op.column[i]);
  return out;
}

}  // namespace

// A zero byte moves the register linearly (no byte enters it), so count of
// them are that step's operator to the power count: operators for 1, 2, 4, ...
// zero bytes by squaring, applied for the bits of count.
uint32_t Crc32OverZeros(uint32_t reg, uint64_t count) {
  if (count < 64) {
    for (; count != 0; --count) reg = (reg >> 8) ^ kCrc.table[0][reg & 0xFFu];
    return reg;
  }
  CrcOperator step;  // one zero byte: column i is the register after it from bit i alone
  for (unsigned i = 0; i < 32; ++i) {
    const uint32_t bit = 1u << i;
    step.column[i] = (bit >> 8) ^ kCrc.table[0][bit & 0xFFu];
  }
  for (; count != 0; count >>= 1) {
    if (count & 1u) reg = Apply(step, reg);
    if (count > 1) step = Square(step);
  }
  return reg;
}
