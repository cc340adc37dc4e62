// Generated input data shared by the benchmarks, the same bytes on every run.
#pragma once
#include <cstdint>
#include <random>

#include "packer/packer.h"

namespace bench {

// Words and line breaks, as in documents and scripts: many short matches.
inline packer::Bytes TextData(size_t n) {
  static const char* const kWords[] = {"the ", "setup ", "file ", "window ", "archive ",
                                       "Install ", "data, ", "and ", "of ", "program ",
                                       "folder.\r\n", "README ", "a ", "to ", "Version 2.1 "};
  std::mt19937 rng(1);
  packer::Bytes d;
  while (d.size() < n) {
    for (const char* p = kWords[rng() % 15]; *p && d.size() < n; ++p) d.push_back(static_cast<uint8_t>(*p));
  }
  return d;
}

// Little-endian records of small numbers, zero padding and a few opcodes, as
// in executables and data files. With farRepeats, blocks of earlier records
// are also repeated far back, for matches of all lengths and distances.
inline packer::Bytes BinaryData(size_t n, bool farRepeats) {
  // Out of `range` picks: below `numbers` a number, below `zeros` padding,
  // below `opcodes` an opcode, the rest a repeat.
  const uint32_t range = farRepeats ? 16 : 8;
  const uint32_t numbers = farRepeats ? 7 : 4, zeros = farRepeats ? 11 : 6, opcodes = farRepeats ? 15 : 8;
  std::mt19937 rng(2);
  std::geometric_distribution<uint32_t> small(0.01);
  packer::Bytes d;
  while (d.size() < n) {
    const uint32_t pick = rng() % range;
    if (pick < numbers) {
      const uint32_t v = small(rng);
      for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    } else if (pick < zeros) {
      d.insert(d.end(), 1 + rng() % 12, 0);
    } else if (pick < opcodes || d.size() < 70000) {
      static const uint8_t kOps[] = {0x8B, 0x89, 0xE8, 0xFF, 0x55, 0xC3, 0x83, 0x74};
      d.push_back(kOps[rng() % 8]);
      d.push_back(static_cast<uint8_t>(rng() & 0x3F));
    } else {
      const size_t from = rng() % (d.size() - 65536);
      const size_t length = 64 + rng() % 4000;
      for (size_t i = 0; i < length; ++i) d.push_back(d[from + i]);
    }
  }
  d.resize(n);
  return d;
}

}  // namespace bench
