// Adaptive model decoder: rebuilds one model-coded stream of a data block.
// Each byte value is coded as a class (model 0) and, for classes 3 to 13, an
// offset inside the class (models 1 to 11), with a range coder whose range
// stays between 2^24 and 2^25 and is renormalised one input bit per doubling.
//
// The decoding loop keeps the coder in local variables. A symbol is found
// without dividing the code: the scan adds count * r per symbol and stops at
// the first cumulative product above the code, where r = range / total comes
// from a table of reciprocals. The scan branches per symbol rather than
// searching without branches: while the branches are predicted, the next
// symbol starts before this one's scan has resolved. Renormalisation doubles
// the range k times at once, k from the leading zeros of range - 1, and takes
// the k bits in one piece from a 64-bit bit buffer.
#include <cstdint>
#include <cstring>

#include "container/format.h"
#include "engine/engine.h"

namespace {

constexpr unsigned kModelCount = 12;
constexpr unsigned kMaxSymbols = 32;          // the largest model in use
constexpr uint32_t kTopRange = 0x2000000;     // 2^25, the range after a reset
constexpr int kStartBits = 25;
constexpr uint32_t kModelLimit = 1000;
constexpr unsigned kMaxRenormBits = 10;       // range >= 16,777 before renormalising

// One adaptive frequency model. Invariants: 1 <= n <= 32; counts[1..n] >= 1;
// total = counts[1] + ... + counts[n] <= limit between symbols.
struct FrequencyModel {
  uint32_t n;
  uint32_t total;
  uint32_t increment;
  uint32_t limit;
  uint32_t counts[kMaxSymbols + 1];
};

// Decoder state: the twelve models and the reciprocals of every total a
// model can reach (reciprocal[d] = ceil(2^36 / d), filled on first use). The
// coder itself (range, code, bit buffer) lives in DecodeStream's locals for
// the length of one stream.
struct ModelDecoder {
  FrequencyModel models[kModelCount];
  uint64_t reciprocal[kModelLimit + 1];
  int reciprocalsReady;
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
  model->total = n * count;
  model->increment = count & 0xFFFFu;  // only the low 16 bits take part
  model->n = n;
  model->limit = limit;
}

void InitModels() {
  for (unsigned m = 0; m < kModelCount; ++m) {
    InitModel(&gModel.models[m], kModelShapes[m].symbols, kModelShapes[m].initialCount,
              kModelLimit);
  }
  // range / d = (range * ceil(2^36 / d)) >> 36 for every range <= 2^25 and
  // d <= 1024: the rounding error range * (1 - 2^36 mod d / d) / 2^36 stays
  // below 1 / d, so it never carries the quotient past the next integer.
  if (!gModel.reciprocalsReady) {
    gModel.reciprocal[0] = 0;
    for (uint32_t d = 1; d <= kModelLimit; ++d) {
      gModel.reciprocal[d] = ((uint64_t{1} << 36) + d - 1) / d;
    }
    gModel.reciprocalsReady = 1;
  }
}

// Input bits, most significant first. `bits` holds the next `available` bits
// of the stream at its top (the bits below them are either zero or the
// stream's own following bits). Bytes at or past `length` read as zero, so
// damaged streams never read past the stored bytes.
struct BitBuffer {
  uint64_t bits;
  uint32_t available;
  uint32_t position;  // next byte to load
  const uint8_t* input;
  uint32_t length;
};

// Tops the buffer up to at least 56 bits. Entry: available < 64.
inline void Refill(BitBuffer* in) {
  if (in->position + 8 <= in->length) {
    // Eight bytes at once; the bits past the whole bytes counted in are the
    // stream's own next bits, which the next refill ORs in again unchanged.
    const uint8_t* p = in->input + in->position;
    uint64_t word = 0;
    for (int j = 0; j < 8; ++j) word = (word << 8) | p[j];
    in->bits |= word >> in->available;
    in->position += (63 - in->available) >> 3;
    in->available |= 56;
    return;
  }
  while (in->available <= 56) {
    const uint64_t byte = in->position < in->length ? in->input[in->position] : 0;
    in->bits |= byte << (56 - in->available);
    ++in->position;
    in->available += 8;
  }
}

// Takes k bits (0 <= k <= 32). Entry: available >= k.
inline uint32_t TakeBits(BitBuffer* in, uint32_t k) {
  const uint32_t value = static_cast<uint32_t>((in->bits >> 32) >> (32 - k));
  in->bits <<= k;
  in->available -= k;
  return value;
}

// Decodes one symbol and adapts the model to it. The symbol s is the first
// whose cumulative count times r exceeds the code; on damaged input the code
// may lie beyond total * r, and then s = n, the symbol that truncating the
// quotient to total - 1 selects. The last symbol also takes the remainder that
// the truncating division left over.
// Entry: 2^24 < range <= 2^25, the buffer holds at least kMaxRenormBits bits.
inline uint32_t DecodeSymbol(FrequencyModel* model, uint32_t* range, uint32_t* code,
                             BitBuffer* in) {
  const uint32_t r =
      static_cast<uint32_t>((uint64_t{*range} * gModel.reciprocal[model->total]) >> 36);
  const uint32_t c = *code;
  const uint32_t n = model->n;
  const uint32_t* counts = model->counts;
  // low = cum(s - 1) * r and high = cum(s) * r; both <= total * r <= range.
  uint32_t s = 1;
  uint32_t low = 0;
  uint32_t high = counts[1] * r;
  while (high <= c && s < n) {
    low = high;
    ++s;
    high += counts[s] * r;
  }
  *code = c - low;
  *range = s < n ? high - low : *range - low;

  // Doubling k times brings the range above 2^24: k = clz(range - 1) - 7
  // (0 when it is already above), at most kMaxRenormBits as range >= 16,777.
  const uint32_t k = static_cast<uint32_t>(__builtin_clz(*range - 1)) - 7;
  *range <<= k;
  *code = (*code << k) | TakeBits(in, k);

  // Adapt: add the increment; past the limit halve every count, rounding up
  // so that no symbol ever reaches a count of 0.
  model->counts[s] += model->increment;
  model->total += model->increment;
  if (model->total > model->limit) {
    uint32_t total = 0;
    for (uint32_t i = 1; i <= n; ++i) {
      model->counts[i] = (model->counts[i] + 1) >> 1;
      total += model->counts[i];
    }
    model->total = total;
  }
  return s;
}

}  // namespace

// Decodes straight from `stored` into `destination`, which must hold
// decodedCount bytes and must not overlap `stored`.
void DecodeStream(uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                  uint8_t* destination) {
  // A decoded count above 65,536 would overrun a stream buffer: it is
  // refused with no bytes produced, and *length = 0 tells the caller so.
  if (decodedCount > kStreamBufferSize) {
    *length = 0;
    return;
  }
  InitModels();

  BitBuffer in;
  in.bits = 0;
  in.available = 0;
  in.position = 0;
  in.input = stored;
  // Stored bytes beyond a 65,536-byte input buffer are ignored.
  in.length = *length < kStreamBufferSize ? *length : kStreamBufferSize;
  Refill(&in);
  // Bit 7 of the first stored byte is never read; the code starts with the
  // next 25 bits.
  TakeBits(&in, 1);
  uint32_t code = TakeBits(&in, kStartBits);
  uint32_t range = kTopRange;

  FrequencyModel* const models = gModel.models;
  for (uint32_t i = 0; i < decodedCount; ++i) {
    // Two symbols take at most 2 * kMaxRenormBits bits.
    if (in.available < 2 * kMaxRenormBits) Refill(&in);
    const uint32_t c = DecodeSymbol(&models[0], &range, &code, &in);
    uint32_t s = 0;
    // Classes 3..13 carry an offset from model c - 2; 1, 2 and 14 (and the
    // unused 15 and 16) do not.
    if (c - 3u <= 10u) s = DecodeSymbol(&models[c - 2], &range, &code, &in);
    destination[i] = static_cast<uint8_t>(kClassBase[c] + s);
  }
  *length = decodedCount;
}
