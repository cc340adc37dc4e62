// Plain model decoder: each step of the coder as its own small procedure,
// kept as the baseline for the fast decoder in engine/model_decoder.cpp.
#include "bench/reference_decoder.h"

#include <cstdint>

#include "format/format.h"

namespace {

constexpr unsigned kMaxSymbols = 34;          // counts[] has n + 2 <= 36 entries
constexpr uint32_t kTopRange = 0x2000000;     // 2^25, the range after a reset
constexpr uint32_t kBottomRange = 0x1000000;  // 2^24: renormalise while range <= this
constexpr int kStartBits = 25;

// Invariants: counts[1..n] >= 1; counts[0] = counts[n + 1] = 0;
// total = counts[1] + ... + counts[n] <= limit between symbols.
struct FrequencyModel {
  uint32_t n;
  uint32_t total;
  uint32_t increment;
  uint32_t limit;
  uint32_t counts[kMaxSymbols + 2];
};

// Invariants between symbols: 2^24 < range <= 2^25; 0x01 <= mask <= 0x80;
// input positions at or past inputLength read as zero.
struct ReferenceDecoder {
  uint32_t range;
  uint32_t code;
  const uint8_t* input;
  uint32_t inputLength;
  uint32_t index;
  uint16_t currentByte;
  uint16_t mask;
  FrequencyModel models[kModelCount];
};
ReferenceDecoder gRef;

void InitModel(FrequencyModel* model, uint32_t n, uint32_t count, uint32_t limit) {
  for (uint32_t i = 1; i <= n; ++i) model->counts[i] = count;
  model->counts[0] = 0;
  model->counts[n + 1] = 0;
  model->total = n * count;
  model->increment = count;
  model->n = n;
  model->limit = limit;
}

uint32_t NextBit() {
  gRef.mask = static_cast<uint16_t>(gRef.mask >> 1);
  if (gRef.mask == 0) {
    gRef.currentByte = gRef.index < gRef.inputLength ? gRef.input[gRef.index] : 0;
    ++gRef.index;
    gRef.mask = 0x80;
  }
  return (gRef.currentByte & gRef.mask) != 0 ? 1u : 0u;
}

uint32_t DecodeSymbol(const FrequencyModel* model) {
  const uint32_t r = gRef.range / model->total;
  uint32_t t = gRef.code / r;
  if (t > model->total - 1) t = model->total - 1;
  uint32_t s = 1;
  uint32_t cum = model->counts[1];
  while (cum <= t) {
    ++s;
    cum += model->counts[s];
  }
  const uint32_t low = (cum - model->counts[s]) * r;
  gRef.code -= low;
  if (cum < model->total) {
    gRef.range = model->counts[s] * r;
  } else {
    gRef.range -= low;
  }
  while (gRef.range <= kBottomRange) {
    gRef.range <<= 1;
    gRef.code = (gRef.code << 1) + NextBit();
  }
  return s;
}

void UpdateModel(FrequencyModel* model, uint32_t s) {
  const uint32_t increment = model->increment & 0xFFFFu;
  model->counts[s] += increment;
  model->total += increment;
  if (model->total > model->limit) {
    model->total = 0;
    for (uint32_t i = 1; i <= model->n; ++i) {
      model->counts[i] = (model->counts[i] + 1) >> 1;
      model->total += model->counts[i];
    }
  }
}

uint8_t DecodeValue() {
  const uint32_t c = DecodeSymbol(&gRef.models[0]);
  UpdateModel(&gRef.models[0], c);
  if (c < 3 || c > 13) return kClassBase[c];
  FrequencyModel* offsetModel = &gRef.models[c - 2];
  const uint32_t s = DecodeSymbol(offsetModel);
  UpdateModel(offsetModel, s);
  return static_cast<uint8_t>(kClassBase[c] + s);
}

}  // namespace

void ReferenceDecodeStream(uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                           uint8_t* destination) {
  if (decodedCount > kStreamBufferSize) {
    *length = 0;
    return;
  }
  for (unsigned m = 0; m < kModelCount; ++m) {
    InitModel(&gRef.models[m], kModelShapes[m].symbols, kModelShapes[m].initialCount, kModelLimit);
  }
  gRef.range = kTopRange;
  gRef.input = stored;
  gRef.inputLength = *length < kStreamBufferSize ? *length : kStreamBufferSize;
  gRef.mask = 0x80;
  gRef.code = 0;
  gRef.currentByte = gRef.inputLength != 0 ? stored[0] : 0;
  gRef.index = 1;
  for (int i = 0; i < kStartBits; ++i) gRef.code = (gRef.code << 1) + NextBit();
  for (uint32_t i = 0; i < decodedCount; ++i) destination[i] = DecodeValue();
  *length = decodedCount;
}
