// A small PE32 image for the resource reader and writer, with its fields
// where a test or a fuzz target asks: the PE headers at `lfanew`, a .text
// section and, last, a .rsrc section at address 0x2000 whose raw data
// (`resources`, padded to 512 bytes) starts at file offset `rsrcRaw`. The
// file ends where .rsrc ends; the headers are written over whatever .rsrc
// holds where the two meet.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

constexpr uint32_t kCraftedRsrcAddress = 0x2000;

inline void CraftedPut(std::vector<uint8_t>& b, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline std::vector<uint8_t> CraftPe(uint32_t lfanew, uint32_t rsrcRaw, const std::vector<uint8_t>& resources) {
  const uint32_t rsrcSize = (static_cast<uint32_t>(resources.size()) + 0x1FF) & ~0x1FFu;
  const size_t headersEnd = lfanew + 24 + 224 + 2 * 40;
  std::vector<uint8_t> b(std::max<size_t>(rsrcRaw + rsrcSize, (headersEnd + 0x1FF) & ~size_t{0x1FF}));
  // When the headers reach past .rsrc, .rsrc grows to the end of the file.
  const uint32_t rawSize = static_cast<uint32_t>(b.size()) - rsrcRaw;
  std::copy(resources.begin(), resources.end(), b.begin() + rsrcRaw);
  b[0] = 'M', b[1] = 'Z';
  CraftedPut(b, 0x3C, lfanew, 4);
  const size_t coff = lfanew + 4, opt = coff + 20, table = opt + 224;
  b[lfanew] = 'P', b[lfanew + 1] = 'E', b[lfanew + 2] = 0, b[lfanew + 3] = 0;
  CraftedPut(b, coff, 0x14C, 2), CraftedPut(b, coff + 2, 2, 2), CraftedPut(b, coff + 16, 224, 2);
  CraftedPut(b, opt, 0x10B, 2), CraftedPut(b, opt + 32, 0x1000, 4), CraftedPut(b, opt + 36, 0x200, 4);
  CraftedPut(b, opt + 56, kCraftedRsrcAddress + 0x1000, 4), CraftedPut(b, opt + 60, 0x200, 4);
  CraftedPut(b, opt + 92, 16, 4);
  CraftedPut(b, opt + 96 + 8 * 2, kCraftedRsrcAddress, 4);
  CraftedPut(b, opt + 96 + 8 * 2 + 4, static_cast<uint32_t>(resources.size()), 4);
  const uint32_t sections[2][4] = {{0x1000, 0x1000, 0x200, 0x60000020},
                                   {kCraftedRsrcAddress, rawSize, rsrcRaw, 0x40000040}};
  for (int s = 0; s < 2; ++s) {
    size_t h = table + 40 * s;
    std::copy_n(s == 0 ? ".text" : ".rsrc", 5, b.begin() + h);
    CraftedPut(b, h + 8, sections[s][1], 4), CraftedPut(b, h + 12, sections[s][0], 4);
    CraftedPut(b, h + 16, s == 0 ? 0x200 : rawSize, 4), CraftedPut(b, h + 20, sections[s][2], 4);
    CraftedPut(b, h + 36, sections[s][3], 4);
  }
  return b;
}

// A resource tree of `types` numbered types, each with one name, one language
// and one data entry (in that order, 64 bytes a type); leaf k's `dataSize`
// bytes start `step` * k bytes into the data behind them. With `shared`
// every type points at the name table of the first.
inline std::vector<uint8_t> CraftTree(uint32_t types, bool shared, uint32_t dataSize, uint32_t step) {
  const uint32_t blocks = 16 + 8 * types, data = blocks + 64 * types;
  std::vector<uint8_t> b(data + step * (types - 1) + dataSize);
  CraftedPut(b, 14, types, 2);
  for (uint32_t k = 0; k < types; ++k) {
    const uint32_t block = blocks + 64 * k;
    CraftedPut(b, 16 + 8 * k, k + 1, 4);
    CraftedPut(b, 20 + 8 * k, 0x80000000u | (shared ? blocks : block), 4);
    CraftedPut(b, block + 14, 1, 2), CraftedPut(b, block + 16, 1, 4);
    CraftedPut(b, block + 20, 0x80000000u | (block + 24), 4);
    CraftedPut(b, block + 38, 1, 2), CraftedPut(b, block + 40, 0x409, 4), CraftedPut(b, block + 44, block + 48, 4);
    CraftedPut(b, block + 48, kCraftedRsrcAddress + data + step * k, 4), CraftedPut(b, block + 52, dataSize, 4);
  }
  return b;
}
