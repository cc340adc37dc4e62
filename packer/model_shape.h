// The twelve frequency models of the adaptive model coder and how a byte is
// split over them (a class from model 0, then an offset inside the class).
// The encoder codes with them; the parser's price table follows the same
// counts to know what a byte will cost in the stream it goes to.
#pragma once

#include <cstdint>

#include "format/format.h"

namespace packer {

struct Model {
  uint32_t n = 0;
  uint32_t total = 0;
  uint32_t increment = 0;
  uint32_t counts[36] = {};

  void Init(uint32_t symbols, uint32_t count) {
    n = symbols;
    increment = count;
    total = symbols * count;
    for (uint32_t i = 0; i < 36; ++i) counts[i] = (i >= 1 && i <= symbols) ? count : 0;
  }
  uint32_t CumBelow(uint32_t s) const {
    uint32_t cum = 0;
    for (uint32_t i = 1; i < s; ++i) cum += counts[i];
    return cum;
  }
  // Same adaptation as the decoder: add, then halve rounding up past the limit.
  void Update(uint32_t s) {
    counts[s] += increment & 0xFFFFu;
    total += increment & 0xFFFFu;
    if (total > kModelLimit) {
      total = 0;
      for (uint32_t i = 1; i <= n; ++i) {
        counts[i] = (counts[i] + 1) >> 1;
        total += counts[i];
      }
    }
  }
};

// Every model as the decoder sets it up (format/format.h: kModelShapes).
inline void InitModels(Model (&models)[kModelCount]) {
  for (unsigned m = 0; m < kModelCount; ++m) models[m].Init(kModelShapes[m].symbols, kModelShapes[m].initialCount);
}

// The classes that can code value v.
struct ClassChoice {
  int count;
  uint32_t classes[2];
};
inline ClassChoice ClassesFor(uint8_t v) {
  if (v == 0) return {1, {1, 0}};
  if (v == 1) return {1, {2, 0}};
  if (v <= 3) return {1, {3, 0}};
  if (v <= 7) return {1, {4, 0}};
  if (v <= 15) return {1, {5, 0}};
  if (v <= 47) return {1, {6, 0}};
  if (v <= 63) return {1, {7, 0}};
  if (v <= 79) return {2, {7, 8}};
  if (v <= 95) return {1, {8, 0}};
  if (v == 255) return {2, {13, 14}};
  return {1, {static_cast<uint32_t>(9 + (v - 96) / 32), 0}};  // 96..254: classes 9..13
}

}  // namespace packer
