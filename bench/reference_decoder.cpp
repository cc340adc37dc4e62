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

void InitModel(FrequencyModel* model, uint32_t n, uint32_t count, uint32_t limit) {
  for (uint32_t i = 1; i <= n; ++i) model->counts[i] = count;
  model->counts[0] = 0;
  model->counts[n + 1] = 0;
  model->total = n * count;
  model->increment = count;
  model->n = n;
  model->limit = limit;
}

uint32_t NextBit(ReferenceDecoder* ref) {
  ref->mask = static_cast<uint16_t>(ref->mask >> 1);
  if (ref->mask == 0) {
    ref->currentByte = ref->index < ref->inputLength ? ref->input[ref->index] : 0;
    ++ref->index;
    ref->mask = 0x80;
  }
  return (ref->currentByte & ref->mask) != 0 ? 1u : 0u;
}

uint32_t DecodeSymbol(ReferenceDecoder* ref, const FrequencyModel* model) {
  const uint32_t r = ref->range / model->total;
  uint32_t t = ref->code / r;
  if (t > model->total - 1) t = model->total - 1;
  uint32_t s = 1;
  uint32_t cum = model->counts[1];
  while (cum <= t) {
    ++s;
    cum += model->counts[s];
  }
  const uint32_t low = (cum - model->counts[s]) * r;
  ref->code -= low;
  if (cum < model->total) {
    ref->range = model->counts[s] * r;
  } else {
    ref->range -= low;
  }
  while (ref->range <= kBottomRange) {
    ref->range <<= 1;
    ref->code = (ref->code << 1) + NextBit(ref);
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

uint8_t DecodeValue(ReferenceDecoder* ref) {
  const uint32_t c = DecodeSymbol(ref, &ref->models[0]);
  UpdateModel(&ref->models[0], c);
  if (c < 3 || c > 13) return kClassBase[c];
  FrequencyModel* offsetModel = &ref->models[c - 2];
  const uint32_t s = DecodeSymbol(ref, offsetModel);
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
  // The decoder's state lives on this call's stack: threads decode side by side.
  ReferenceDecoder state;
  ReferenceDecoder* ref = &state;
  for (unsigned m = 0; m < kModelCount; ++m) {
    InitModel(&ref->models[m], kModelShapes[m].symbols, kModelShapes[m].initialCount, kModelLimit);
  }
  ref->range = kTopRange;
  ref->input = stored;
  ref->inputLength = *length < kStreamBufferSize ? *length : kStreamBufferSize;
  ref->mask = 0x80;
  ref->code = 0;
  ref->currentByte = ref->inputLength != 0 ? stored[0] : 0;
  ref->index = 1;
  for (int i = 0; i < kStartBits; ++i) ref->code = (ref->code << 1) + NextBit(ref);
  for (uint32_t i = 0; i < decodedCount; ++i) destination[i] = DecodeValue(ref);
  *length = decodedCount;
}
