// Adaptive model decoder: rebuilds one model-coded stream of a data block.
// Each byte value is coded as a class (model 0) and, for classes 3 to 13, an
// offset inside the class (models 1 to 11), with a range coder whose range
// stays between 2^24 and 2^25 and is renormalised one input bit per doubling.
#include <cstdint>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"

namespace {

constexpr unsigned kModelCount = 12;
constexpr unsigned kMaxSymbols = 34;      // counts[] has n + 2 <= 36 entries
constexpr uint32_t kTopRange = 0x2000000;     // 2^25, the range after a reset
constexpr uint32_t kBottomRange = 0x1000000;  // 2^24: renormalise while range <= this
constexpr int kStartBits = 25;
constexpr uint32_t kModelLimit = 1000;

// One adaptive frequency model. Invariants: 1 <= n <= 34; counts[1..n] >= 1;
// counts[0] = counts[n + 1] = 0; total = counts[1] + ... + counts[n] and, after
// every update, total <= limit.
struct FrequencyModel {
  uint32_t n;
  uint32_t total;
  uint32_t increment;
  uint32_t limit;
  uint32_t counts[kMaxSymbols + 2];
};

// Coder state. Invariants between symbols: kBottomRange < range <= kTopRange;
// code is the input's offset from the interval's low end (it wraps only on
// damaged input); 0x01 <= mask <= 0x80; input[0 .. inputLength) are the stored
// bytes, positions at or past inputLength read as zero; outputCount <= 65,536.
struct ModelDecoder {
  uint32_t range;
  uint32_t code;
  const uint8_t* input;
  uint32_t inputLength;
  uint32_t index;        // next input byte to load
  uint16_t currentByte;  // the byte whose bits are being taken
  uint16_t mask;         // the bit of currentByte taken last
  uint8_t* output;
  uint32_t outputCount;
  FrequencyModel models[kModelCount];
};
ModelDecoder gModel;

struct ModelShape {
  uint32_t symbols;
  uint32_t initialCount;
};
// Model 0 picks the class; models 1..11 pick the offset in classes 3..13.
const ModelShape kModelShapes[kModelCount] = {
    {16, 12}, {2, 4},  {4, 4},  {8, 4},  {32, 4}, {32, 3},
    {32, 3},  {32, 3}, {32, 3}, {32, 2}, {32, 2}, {32, 2}};

// Value of class c is kClassBase[c] + offset symbol (classes 3..13) or the base
// itself (classes 1, 2, 14). Classes 15 and 16 never occur in a well-formed
// stream; they yield the byte 0 and the block CRC reports the damage.
const uint8_t kClassBase[17] = {0,  0,   1,   1,   3,   7,   15,  47, 63,
                                95, 127, 159, 191, 223, 255, 0,   0};

void InitModel(FrequencyModel* model, uint32_t n, uint32_t count, uint32_t limit) {
  for (uint32_t i = 1; i <= n; ++i) model->counts[i] = count;
  model->counts[0] = 0;
  model->counts[n + 1] = 0;
  model->total = n * count;
  model->increment = count;
  model->n = n;
  model->limit = limit;
}

void InitModels() {
  for (unsigned m = 0; m < kModelCount; ++m) {
    InitModel(&gModel.models[m], kModelShapes[m].symbols, kModelShapes[m].initialCount,
              kModelLimit);
  }
}

// Next input bit, most significant first; input that has run out reads as
// zero bits, so damaged streams never read past the stored bytes.
inline uint32_t NextBit() {
  gModel.mask = static_cast<uint16_t>(gModel.mask >> 1);
  if (gModel.mask == 0) {
    gModel.currentByte = gModel.index < gModel.inputLength ? gModel.input[gModel.index] : 0;
    ++gModel.index;
    gModel.mask = 0x80;
  }
  return (gModel.currentByte & gModel.mask) != 0 ? 1u : 0u;
}

// Returns the symbol (1..n) whose share of the range holds the code, narrows
// the interval to it and renormalises. The last symbol also takes the
// remainder left by the truncating division.
uint32_t DecodeSymbol(const FrequencyModel* model) {
  const uint32_t r = gModel.range / model->total;  // total <= 1000, range > 2^24
  uint32_t t = gModel.code / r;
  if (t > model->total - 1) t = model->total - 1;  // damaged input only

  uint32_t s = 1;
  uint32_t cum = model->counts[1];
  while (cum <= t) {
    ++s;
    cum += model->counts[s];
  }

  const uint32_t low = (cum - model->counts[s]) * r;
  gModel.code -= low;
  if (cum < model->total) {
    gModel.range = model->counts[s] * r;
  } else {
    gModel.range -= low;
  }

  while (gModel.range <= kBottomRange) {
    gModel.range <<= 1;
    gModel.code = (gModel.code << 1) + NextBit();
  }
  return s;
}

// Adds the increment to the symbol's count; past the limit every count is
// halved, rounding up so that no symbol ever reaches a count of 0.
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
  const uint32_t c = DecodeSymbol(&gModel.models[0]);
  UpdateModel(&gModel.models[0], c);
  if (c < 3 || c > 13) return kClassBase[c];
  FrequencyModel* offsetModel = &gModel.models[c - 2];
  const uint32_t s = DecodeSymbol(offsetModel);
  UpdateModel(offsetModel, s);
  return static_cast<uint8_t>(kClassBase[c] + s);
}

}  // namespace

// Works in the decoder buffers that SetUpDecoderMemory reserved; before they
// exist (tests, benchmarks, tools) it reads `stored` and writes `destination`
// directly, with the same result.
void DecodeStream(uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                  uint8_t* destination) {
  // A decoded count above 65,536 would overrun the output buffer: it is
  // refused with no bytes produced, and *length = 0 tells the caller so.
  if (decodedCount > kStreamBufferSize) {
    *length = 0;
    return;
  }
  // Stored bytes beyond the 65,536-byte input buffer are ignored.
  uint32_t storedLength = *length < kStreamBufferSize ? *length : kStreamBufferSize;

  InitModels();
  gModel.range = kTopRange;
  gModel.outputCount = 0;
  if (gDecoder.modelInput != nullptr) {
    if (storedLength != 0) std::memcpy(gDecoder.modelInput, stored, storedLength);
    gModel.input = gDecoder.modelInput;
  } else {
    gModel.input = stored;
  }
  gModel.inputLength = storedLength;
  gModel.output = gDecoder.modelOutput != nullptr ? gDecoder.modelOutput : destination;

  // The first NextBit shifts the mask before testing, so bit 7 of the first
  // stored byte is never read.
  gModel.mask = 0x80;
  gModel.code = 0;
  gModel.currentByte = storedLength != 0 ? gModel.input[0] : 0;
  gModel.index = 1;
  for (int i = 0; i < kStartBits; ++i) gModel.code = (gModel.code << 1) + NextBit();

  while (gModel.outputCount < decodedCount) {
    gModel.output[gModel.outputCount] = DecodeValue();
    ++gModel.outputCount;
  }

  if (gModel.output != destination && gModel.outputCount != 0) {
    std::memcpy(destination, gModel.output, gModel.outputCount);
  }
  *length = gModel.outputCount;
}
