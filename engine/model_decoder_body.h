// The model decoder's state and loops, included by model_decoder.cpp once per
// path inside a namespace of its own: with DOLM_DECODER_SSE2 defined (the
// SSE2 path) and without it (the portable path). Not a header of its own use.
namespace {

constexpr int kStreamLanes = 2;              // streams decoded together (more measured no faster)
constexpr unsigned kLanes = 32;              // cumulative counts compared at once
constexpr uint32_t kTopRange = 0x2000000;    // 2^25, the range after a reset
constexpr int kStartBits = 25;
constexpr uint32_t kMaxRenormBits = 10;      // range >= 16,777 before renormalising
constexpr uint16_t kNeverBelow = 0x7FFF;     // cumulative count of a missing symbol

#if defined(DOLM_DECODER_SSE2)
// One adaptive frequency model. cum[i] is the sum of the counts of symbols 1
// to i, so cum[0] = 0 and cum[n] = total; cum[n + 1 .. 31] are kNeverBelow
// (adding to them saturates). Invariants: 1 <= n <= 32, the counts
// (cum[i] - cum[i - 1]) are >= 1 and total <= limit between symbols;
// stop = 2^n; add[] holds the increment in every lane. The update adds to
// cum[0..31] only, so cum[32] is stale when n = 32 (total holds it);
// cum[32 .. 39] are loaded, never used.
struct alignas(64) FrequencyModel {
  uint16_t cum[40];
  uint16_t add[8];
  uint64_t stop;
  uint32_t n;
  uint32_t total;
  uint32_t increment;
};
#else
// ones[c]: a 1 in each of the lanes c..7 of a group of eight 16-bit lanes,
// as two 64-bit words; multiplied by an increment, the update of those lanes.
struct LaneRuns {
  uint64_t ones[9][2];
  constexpr LaneRuns() : ones() {
    for (int c = 0; c <= 8; ++c) {
      for (int lane = c; lane < 8; ++lane) ones[c][lane / 4] |= uint64_t{1} << (16 * (lane % 4));
    }
  }
};
constexpr LaneRuns kLanesFrom;
// One adaptive frequency model, its cumulative counts in two levels so that
// a symbol is found with ten compares that do not wait for each other and
// adapted in three 64-bit words, rather than in all 32 lanes.
// With C(i) the sum of the counts of symbols 1 to i (C(0) = 0, C(n) = total),
// the lanes 0..31 form groups of eight: base[g] = C(8g) and
// part[i] = C(i) - base[i / 8]. Invariants: 1 <= n <= 32, the counts are
// >= 1 and total <= limit between symbols; groups = ceil(n / 8); base lanes
// from `groups` on hold kNeverBelow and are never added to; part lanes past
// n start at kPartAbove and take the increments of the symbols below them,
// at most limit + increment before a rescale sets them back, so they stay
// above every t and below 0x8000; part[32 .. 39] hold 0; baseAdd[g] holds
// the increment in the base lanes g + 1 .. groups - 1.
constexpr uint16_t kPartAbove = 0x4000;
struct alignas(64) FrequencyModel {
  uint16_t part[40];
  uint16_t base[8];
  uint64_t baseAdd[4];
  uint32_t n;
  uint32_t groups;
  uint32_t total;
  uint32_t increment;
};
#endif

// Two word-size choices. The bit buffer is a machine word: 64 bits where
// registers are that wide, 32 bits on 32-bit processors, where a 64-bit
// buffer costs two registers and several instructions per shift. A refill
// tops it up to at least kRefillBits bits, which serve kBytesPerRefill bytes
// of at most 2 x kMaxRenormBits bits each. And range / d comes from a table
// of reciprocals (one division per symbol instead of two), exact for every
// range <= 2^25 and d <= kModelLimit, as one multiply of the machine's width.
// DOLM_NARROW_WORDS takes the 32-bit choices anywhere, for the tests.
#if UINTPTR_MAX > 0xFFFFFFFFu && !defined(DOLM_NARROW_WORDS)
using BitWord = uint64_t;
constexpr uint32_t kRefillBits = 56;
// m = ceil(2^36 / d): the rounding error range * (1 - 2^36 mod d / d) / 2^36
// stays below 1 / d, so it never carries the quotient past the next integer.
struct Reciprocal {
  uint64_t m;
};
ALWAYS_INLINE uint32_t DivideRange(uint32_t range, Reciprocal q) {
  return static_cast<uint32_t>((uint64_t{range} * q.m) >> 36);
}
Reciprocal ReciprocalOf(uint32_t d) { return Reciprocal{((uint64_t{1} << 36) + d - 1) / d}; }
#else
using BitWord = uint32_t;
constexpr uint32_t kRefillBits = 24;
// One 32 x 32-bit multiply (the 64-bit product of the form above takes three
// on a 32-bit processor): with s = ceil(log2 d) and m = ceil(2^(26 + s) / d)
// < 2^28, (range * 64) * m / 2^(32 + s) exceeds range / d by less than
// 2^31 / 2^(32 + s) <= 1 / (2d), so again never past the next integer.
struct Reciprocal {
  uint32_t m;
  uint32_t shift;
};
ALWAYS_INLINE uint32_t DivideRange(uint32_t range, Reciprocal q) {
  return static_cast<uint32_t>((uint64_t{range << 6} * q.m) >> 32) >> q.shift;
}
Reciprocal ReciprocalOf(uint32_t d) {
  uint32_t s = 0;
  while ((1u << s) < d) ++s;
  return Reciprocal{static_cast<uint32_t>(((uint64_t{1} << (26 + s)) + d - 1) / d), s};
}
#endif
constexpr uint32_t kWordBits = 8 * sizeof(BitWord);
constexpr uint32_t kBytesPerRefill = kRefillBits / (2 * kMaxRenormBits);
static_assert(kBytesPerRefill >= 1, "a refill serves at least one byte");

// One stream being decoded. `bits` holds the next `available` bits of the
// stream at its top; `next` is the next byte to load and `end` the end of the
// stored bytes, after which kStreamPadding zero bytes follow; loads at or past
// `end` take those zero bytes, so input that runs out reads as zero bits.
struct Lane {
  BitWord bits;
  uint32_t available;
  uint32_t range;
  uint32_t code;
  uint32_t left;              // bytes still to produce
  const uint8_t* next;
  const uint8_t* end;
  uint8_t* out;
  FrequencyModel* models;
};

// The state of one decoder (one per engine): the models of both lanes, the
// models as they start, the reciprocals of every total a model can reach,
// and the padded input buffer that DecodeOne copies a stream into. Reserved
// zeroed; ready is 0 until the tables are filled on first use. (Classes 15 and 16 of a damaged stream give
// the byte 0 through kClassBase, and the block CRC reports the damage.)
struct DecoderState {
  FrequencyModel models[kStreamLanes][kModelCount];
  FrequencyModel fresh[kModelCount];
  Reciprocal reciprocal[kModelLimit + 1];
  uint8_t input[kStreamBufferSize + kStreamPadding];
  int ready;
};

#if defined(DOLM_DECODER_SSE2)
void InitModel(FrequencyModel* model, uint32_t n, uint32_t count) {
  for (uint32_t i = 0; i < 40; ++i) {
    model->cum[i] = i <= n ? static_cast<uint16_t>(i * count) : kNeverBelow;
  }
  for (uint16_t& lane : model->add) lane = static_cast<uint16_t>(count);
  model->stop = uint64_t{1} << n;
  model->n = n;
  model->total = n * count;
  model->increment = count & 0xFFFFu;  // only the low 16 bits take part
}
#else
// Sets both levels from the cumulative counts cum[0..n] (cum[n] = total).
void SetLevels(FrequencyModel* model, const uint32_t* cum) {
  const uint32_t n = model->n;
  for (uint32_t g = 0; g < 8; ++g) {
    model->base[g] = g < model->groups ? static_cast<uint16_t>(cum[8 * g]) : kNeverBelow;
  }
  for (uint32_t i = 0; i < 40; ++i) {
    model->part[i] = i >= 32 ? 0 : i <= n ? static_cast<uint16_t>(cum[i] - cum[i / 8 * 8]) : kPartAbove;
  }
  model->total = cum[n];
}

void InitModel(FrequencyModel* model, uint32_t n, uint32_t count) {
  model->n = n;
  model->groups = (n + 7) / 8;
  model->increment = count & 0xFFFFu;  // only the low 16 bits take part
  uint32_t cum[33];
  for (uint32_t i = 0; i <= n; ++i) cum[i] = i * count;
  SetLevels(model, cum);
  model->total = n * count;
  for (uint32_t g = 0; g < 4; ++g) {
    model->baseAdd[g] = 0;
    for (uint32_t lane = g + 1; lane < model->groups; ++lane) {
      model->baseAdd[g] |= uint64_t{model->increment} << (16 * lane);
    }
  }
}
#endif

void Prepare(DecoderState* state) {
  for (unsigned m = 0; m < kModelCount; ++m) {
    InitModel(&state->fresh[m], kModelShapes[m].symbols, kModelShapes[m].initialCount);
  }
  state->reciprocal[0] = Reciprocal{};
  for (uint32_t d = 1; d <= kModelLimit; ++d) state->reciprocal[d] = ReciprocalOf(d);
  state->ready = 1;
}

// Halves every count, rounding up so that no symbol ever reaches 0.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
void Rescale(FrequencyModel* model) {
  const uint32_t n = model->n;
#if defined(DOLM_DECODER_SSE2)
  // cum[32] is outside the lanes that the update adds to; total is its value.
  model->cum[n] = static_cast<uint16_t>(model->total);
  // Per lane: count = cum[i] - cum[i - 1], halved rounding up, then summed
  // again (a prefix sum in three shifted adds, carried from vector to vector).
  // Lanes past n take garbage and are set back to kNeverBelow.
  __m128i* v = reinterpret_cast<__m128i*>(model->cum);
  const uint32_t lastOld = model->cum[kLanes - 1];
  const __m128i one = _mm_set1_epi16(1);
  const __m128i limit = _mm_set1_epi16(static_cast<int16_t>(n));
  const __m128i never = _mm_set1_epi16(static_cast<int16_t>(kNeverBelow));
  __m128i index = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
  __m128i before = _mm_setzero_si128();
  __m128i carry = _mm_setzero_si128();
  for (int j = 0; j < 4; ++j) {
    const __m128i x = _mm_load_si128(v + j);
    const __m128i below = _mm_or_si128(_mm_slli_si128(x, 2), _mm_srli_si128(before, 14));
    __m128i sum = _mm_srli_epi16(_mm_add_epi16(_mm_sub_epi16(x, below), one), 1);
    sum = _mm_add_epi16(sum, _mm_slli_si128(sum, 2));
    sum = _mm_add_epi16(sum, _mm_slli_si128(sum, 4));
    sum = _mm_add_epi16(sum, _mm_slli_si128(sum, 8));
    sum = _mm_add_epi16(sum, carry);
    const __m128i top = _mm_shufflehi_epi16(sum, 0xFF);
    carry = _mm_unpackhi_epi64(top, top);
    const __m128i past = _mm_cmpgt_epi16(index, limit);
    _mm_store_si128(v + j, _mm_or_si128(_mm_and_si128(past, never), _mm_andnot_si128(past, sum)));
    before = x;
    index = _mm_add_epi16(index, _mm_set1_epi16(8));
  }
  model->total = n < kLanes ? model->cum[n]
                            : model->cum[kLanes - 1] + ((model->total - lastOld + 1) >> 1);
  model->cum[n] = static_cast<uint16_t>(model->total);
#else
  // Group by group: the old cumulative count of lane i is base + part[i]
  // (lane n, which is not kept when n is a multiple of 8, is total); the new
  // one sums the halved counts. The lanes past n start again at kPartAbove.
  uint32_t previous = 0;  // old cumulative count of the lane before
  uint32_t sum = 0;       // new cumulative count of the lane before
  for (uint32_t g = 0; g < model->groups; ++g) {
    const uint32_t oldBase = model->base[g];
    uint16_t* part = model->part + 8 * g;
    const uint32_t first = 8 * g;
    const uint32_t end = n - first < 8 ? n - first : 7;  // last lane of the group that counts
    if (g > 0) {
      sum += (oldBase - previous + 1) >> 1;
      previous = oldBase;
    }
    model->base[g] = static_cast<uint16_t>(sum);
    for (uint32_t j = 1; j <= end; ++j) {
      const uint32_t was = first + j == n ? model->total : oldBase + part[j];
      sum += (was - previous + 1) >> 1;
      previous = was;
      part[j] = static_cast<uint16_t>(sum - model->base[g]);
    }
    for (uint32_t j = end + 1; j < 8; ++j) part[j] = kPartAbove;
  }
  if (n % 8 == 0) sum += (model->total - previous + 1) >> 1;  // lane n opens no group
  model->total = sum;
#endif
}

ALWAYS_INLINE BitWord LoadBigEndian(const uint8_t* p) {
  BitWord word;
  std::memcpy(&word, p, sizeof(word));
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return sizeof(word) == 8 ? static_cast<BitWord>(__builtin_bswap64(word))
                           : static_cast<BitWord>(__builtin_bswap32(static_cast<uint32_t>(word)));
#else
  word = 0;
  for (unsigned j = 0; j < sizeof(word); ++j) word = (word << 8) | p[j];
  return word;
#endif
}

// Tops the bit buffer up to at least kRefillBits bits. The bits below the
// whole bytes counted in are the stream's own following bits, which the next
// refill ORs in again unchanged. Entry: available < kWordBits.
ALWAYS_INLINE void Refill(Lane* lane) {
  const uint8_t* from = lane->next < lane->end ? lane->next : lane->end;
  lane->bits |= LoadBigEndian(from) >> lane->available;
  lane->next += (kWordBits - 1 - lane->available) >> 3;
  lane->available |= kRefillBits;
}

// Takes k bits (0 <= k <= 26, k < kWordBits). Entry: available >= k.
ALWAYS_INLINE uint32_t TakeBits(Lane* lane, uint32_t k) {
  // Two shifts, so that k = 0 shifts by less than the word's width.
  const uint32_t value = static_cast<uint32_t>((lane->bits >> 1) >> (kWordBits - 1 - k));
  lane->bits <<= k;
  lane->available -= k;
  return value;
}

// Narrows the coder to the symbol whose cumulative counts are lowCum and
// highCum (the last symbol, without a branch, takes the rest of the range)
// and renormalises. Doubling k times brings the range above 2^24: k = 24 -
// the index of the top bit of range - 1 (0 when it is already above), at
// most kMaxRenormBits as range >= 16,777.
ALWAYS_INLINE void Narrow(Lane* lane, uint32_t r, uint32_t lowCum, uint32_t highCum, bool isLast) {
  const uint32_t last = 0u - static_cast<uint32_t>(isLast);
  const uint32_t low = lowCum * r;
  const uint32_t high = ((highCum * r) & ~last) | (lane->range & last);
  const uint32_t code = lane->code - low;
  const uint32_t range = high - low;
  const uint32_t k = 24 - static_cast<uint32_t>(31 - __builtin_clz(range - 1));
  lane->range = range << k;
  lane->code = (code << k) | TakeBits(lane, k);
}

// Decodes one symbol and adapts the model to it. The symbol s is the first
// whose cumulative count exceeds t = code / r, found as the number of
// cum[0..31] that are <= t (the counts increase, so those above t are a run
// at the top). On damaged input the code may lie beyond total * r: t then
// reaches total or more, and the stop bit at lane n selects the last symbol,
// as clamping t to total - 1 would. The last symbol also takes the remainder
// that the truncating division left over.
// Entry: 2^24 < range <= 2^25, the lane holds at least kMaxRenormBits bits.
// kVectors: how many groups of 8 lanes hold the model's cumulative counts
// (2 for the class model of 16 symbols, 4 for the offset models); the
// portable path finds the group itself.
#if defined(DOLM_DECODER_SSE2)
template <int kVectors>
ALWAYS_INLINE uint32_t DecodeSymbol(FrequencyModel* model, Lane* lane, const Reciprocal* reciprocal) {
  const uint32_t r = DivideRange(lane->range, reciprocal[model->total]);
  const uint32_t t = lane->code / r;
  __m128i* cum = reinterpret_cast<__m128i*>(model->cum);
  const __m128i c0 = _mm_load_si128(cum);
  const __m128i c1 = _mm_load_si128(cum + 1);
  const __m128i c2 = kVectors > 2 ? _mm_load_si128(cum + 2) : c0;
  const __m128i c3 = kVectors > 2 ? _mm_load_si128(cum + 3) : c0;
  // t in every 16-bit lane, saturated to 0x7FFF (t < 2^18 as r >= 16,777).
  __m128i target = _mm_cvtsi32_si128(static_cast<int>(t));
  target = _mm_packs_epi32(target, target);
  target = _mm_shuffle_epi32(_mm_shufflelo_epi16(target, 0), 0);
  // The lanes above t are lanes s.. (and the missing symbols): they are also
  // the lanes that the update adds to.
  const __m128i g0 = _mm_cmpgt_epi16(c0, target);
  const __m128i g1 = _mm_cmpgt_epi16(c1, target);
  const __m128i g2 = kVectors > 2 ? _mm_cmpgt_epi16(c2, target) : g0;
  const __m128i g3 = kVectors > 2 ? _mm_cmpgt_epi16(c3, target) : g0;
  uint64_t above = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(g0, g1))) | model->stop;
  if (kVectors > 2) {
    above |= static_cast<uint64_t>(_mm_movemask_epi8(_mm_packs_epi16(g2, g3))) << 16;
  }
  // Only the stop bit of a 32-symbol model lies above bit 31; testing the low
  // half first keeps a 32-bit build from calling a 64-bit bit scan.
  const uint32_t low = static_cast<uint32_t>(above);
  const uint32_t s = low != 0 ? static_cast<uint32_t>(__builtin_ctz(low)) : 32;

  Narrow(lane, r, model->cum[s - 1], model->cum[s], s == model->n);

  // Adapt: add the increment to symbol s, that is to cum[s..31] (the missing
  // symbols saturate); past the limit, rescale. When a damaged code put t at
  // total or beyond, no lane was above it and s = n gets its increment alone
  // (cum[n] is total, in a lane the update does not otherwise keep for n = 32).
  const __m128i add = _mm_load_si128(reinterpret_cast<const __m128i*>(model->add));
  _mm_store_si128(cum, _mm_adds_epi16(c0, _mm_and_si128(g0, add)));
  _mm_store_si128(cum + 1, _mm_adds_epi16(c1, _mm_and_si128(g1, add)));
  if (kVectors > 2) {
    _mm_store_si128(cum + 2, _mm_adds_epi16(c2, _mm_and_si128(g2, add)));
    _mm_store_si128(cum + 3, _mm_adds_epi16(c3, _mm_and_si128(g3, add)));
  }
  if (UNLIKELY(t >= model->total)) {
    model->cum[model->n] = static_cast<uint16_t>(model->cum[model->n] + model->increment);
  }
  model->total += model->increment;
  if (model->total > kModelLimit) Rescale(model);
  return s;
}

#else
template <int kVectors>
ALWAYS_INLINE uint32_t DecodeSymbol(FrequencyModel* model, Lane* lane, const Reciprocal* reciprocal) {
  const uint32_t r = DivideRange(lane->range, reciprocal[model->total]);
  const uint32_t t = lane->code / r;
  const uint32_t n = model->n;
  uint32_t s;
  uint32_t lowCum;
  uint32_t highCum;
  if (LIKELY(t < model->total)) {
    // The counts increase, so where t falls is a count of compares, all
    // independent of each other: first the group g (base[g] <= t <
    // base[g + 1]), then inside it the lanes c = 1..8 with part <= t -
    // base[g]; s = 8g + c is the first lane above t. Lane n (total, or the
    // next group's base) is above t, so s <= n.
    const uint32_t g = (t >= model->base[1]) + (t >= model->base[2]) + (t >= model->base[3]);
    const uint32_t groupBase = model->base[g];
    uint16_t* part = model->part + 8 * g;
    const uint32_t u = t - groupBase;
    const uint32_t c = 1 + ((u >= part[1]) + (u >= part[2])) + ((u >= part[3]) + (u >= part[4])) +
                       ((u >= part[5]) + (u >= part[6])) + (u >= part[7]);
    s = 8 * g + c;
    lowCum = groupBase + part[c - 1];
    // c = 8: lane s opens the next group, where part[c] is 0.
    highCum = model->base[g + (c >> 3)] + part[c];
    // Adapt: add the increment to the lanes s..7 of this group (those past n
    // among them only grow towards kPartAbove + limit) and to the bases of
    // the groups above it, a 64-bit word at a time.
    uint64_t x0;
    uint64_t x1;
    std::memcpy(&x0, part, 8);
    std::memcpy(&x1, part + 4, 8);
    x0 += kLanesFrom.ones[c][0] * model->increment;
    x1 += kLanesFrom.ones[c][1] * model->increment;
    std::memcpy(part, &x0, 8);
    std::memcpy(part + 4, &x1, 8);
    uint64_t base;
    std::memcpy(&base, model->base, 8);
    base += model->baseAdd[g];
    std::memcpy(model->base, &base, 8);
  } else {
    // Damaged input put the code beyond total * r: the last symbol takes it,
    // and only its own lane (kept unless n is a multiple of 8) grows.
    s = n;
    lowCum = model->base[(n - 1) / 8] + model->part[n - 1];
    highCum = 0;
    if (n < 8 * model->groups) model->part[n] = static_cast<uint16_t>(model->part[n] + model->increment);
  }
  Narrow(lane, r, lowCum, highCum, s == n);
  model->total += model->increment;
  if (model->total > kModelLimit) Rescale(model);
  return s;
}

#endif

// One byte: a class and, for classes 3..13, an offset from model c - 2.
// Entry: the lane holds at least 2 * kMaxRenormBits bits.
ALWAYS_INLINE uint8_t DecodeValue(Lane* lane, FrequencyModel* models, const Reciprocal* reciprocal) {
  const uint32_t c = DecodeSymbol<2>(&models[0], lane, reciprocal);
  uint32_t s = 0;
  if (LIKELY(c - 3u <= 10u)) s = DecodeSymbol<4>(&models[c - 2], lane, reciprocal);
  return static_cast<uint8_t>(kClassBase[c] + s);
}

// Resets the lane's models and coder for a new stream.
void StartLane(Lane* lane, const StreamJob* job, const DecoderState* state, FrequencyModel* models) {
  std::memcpy(models, state->fresh, sizeof(state->fresh));
  lane->models = models;
  lane->bits = 0;
  lane->available = 0;
  lane->next = job->stored;
  // Stored bytes beyond a 65,536-byte input buffer are ignored.
  lane->end = job->stored + (job->storedLength < kStreamBufferSize ? job->storedLength
                                                                   : kStreamBufferSize);
  lane->out = job->destination;
  lane->left = job->decodedCount;
  Refill(lane);
  // Bit 7 of the first stored byte is never read; the code starts with the
  // next 25 bits, taken in two parts for a 32-bit buffer.
  TakeBits(lane, 1);
  Refill(lane);
  const uint32_t high = TakeBits(lane, kStartBits - 12);
  Refill(lane);
  lane->code = (high << 12) | TakeBits(lane, 12);
  lane->range = kTopRange;
}

// The models of lane j of N running. With all lanes running, lane j is
// lanes[j] and its models sit at a fixed offset in the state, which saves a
// register per lane in the loop.
template <int N>
ALWAYS_INLINE FrequencyModel* LaneModels(DecoderState* state, const Lane* l, int j) {
  return N == kStreamLanes ? state->models[j] : l[j].models;
}

// N lanes advance together, one byte each per turn, until one of them has
// produced all its bytes.
template <int N>
void RunLanes(DecoderState* state, Lane* const* lanes) {
  const Reciprocal* reciprocal = state->reciprocal;
  Lane l[N];
  for (int j = 0; j < N; ++j) l[j] = *lanes[j];
  uint32_t turns = l[0].left;
  for (int j = 1; j < N; ++j) turns = l[j].left < turns ? l[j].left : turns;
  for (int j = 0; j < N; ++j) l[j].left -= turns;
  // One refill serves two bytes of at most 20 bits each with a 64-bit
  // buffer; a 32-bit buffer is refilled before each byte.
  for (; turns >= 2; turns -= 2) {
    uint8_t value[N];
#pragma GCC unroll 4
    for (int j = 0; j < N; ++j) Refill(&l[j]);
#pragma GCC unroll 4
    for (int j = 0; j < N; ++j) value[j] = DecodeValue(&l[j], LaneModels<N>(state, l, j), reciprocal);
#pragma GCC unroll 4
    for (int j = 0; j < N; ++j) l[j].out[0] = value[j];
    if (kBytesPerRefill < 2) {
#pragma GCC unroll 4
      for (int j = 0; j < N; ++j) Refill(&l[j]);
    }
#pragma GCC unroll 4
    for (int j = 0; j < N; ++j) value[j] = DecodeValue(&l[j], LaneModels<N>(state, l, j), reciprocal);
#pragma GCC unroll 4
    for (int j = 0; j < N; ++j) {
      l[j].out[1] = value[j];
      l[j].out += 2;
    }
  }
  if (turns != 0) {
#pragma GCC unroll 4
    for (int j = 0; j < N; ++j) {
      Refill(&l[j]);
      *l[j].out++ = DecodeValue(&l[j], LaneModels<N>(state, l, j), reciprocal);
    }
  }
  for (int j = 0; j < N; ++j) *lanes[j] = l[j];
}

}  // namespace

void DecodeJobs(DecoderState* state, const StreamJob* jobs, uint32_t count) {
  if (!state->ready) Prepare(state);
  // Each lane takes the next stream when its own is done; the streams are
  // independent, so the order in which they finish does not matter. When no
  // stream is left for a lane, the others go on with one lane fewer.
  // Longest first (by stored plus decoded bytes), so that the lanes finish
  // close together and little is left for one lane alone. Up to kSorted
  // streams are ordered; more are taken as they come.
  constexpr uint32_t kSorted = 8;
  const StreamJob* order[kSorted];
  const uint32_t sorted = count < kSorted ? count : kSorted;
  for (uint32_t i = 0; i < sorted; ++i) {
    const StreamJob* job = &jobs[i];
    const uint32_t work = StreamWork(*job);
    uint32_t at = i;
    for (; at > 0 && StreamWork(*order[at - 1]) < work; --at) {
      order[at] = order[at - 1];
    }
    order[at] = job;
  }
  Lane lanes[kStreamLanes];
  Lane* running[kStreamLanes];
  uint32_t nextJob = 0;
  int idle[kStreamLanes];
  for (int i = 0; i < kStreamLanes; ++i) idle[i] = 1;
  for (;;) {
    int active = 0;
    for (int i = 0; i < kStreamLanes; ++i) {
      while (idle[i] && nextJob < count) {
        const StreamJob* job = nextJob < sorted ? order[nextJob] : &jobs[nextJob];
        ++nextJob;
        StartLane(&lanes[i], job, state, state->models[i]);
        idle[i] = lanes[i].left == 0;
      }
      if (!idle[i]) running[active++] = &lanes[i];
    }
    switch (active) {
      case 0: return;
      case 1: RunLanes<1>(state, running); break;
      case 2: RunLanes<2>(state, running); break;
    }
    for (int i = 0; i < kStreamLanes; ++i) idle[i] = idle[i] || lanes[i].left == 0;
  }
}

// Copies the stored bytes into the padded input buffer and decodes them.
void DecodeOne(DecoderState* state, uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
               uint8_t* destination) {
  // A decoded count above 65,536 would overrun a stream buffer: it is
  // refused with no bytes produced, and *length = 0 tells the caller so.
  if (decodedCount > kStreamBufferSize) {
    *length = 0;
    return;
  }
  const uint32_t storedLength = *length < kStreamBufferSize ? *length : kStreamBufferSize;
  if (storedLength != 0) std::memcpy(state->input, stored, storedLength);
  std::memset(state->input + storedLength, 0, kStreamPadding);
  const StreamJob job = {state->input, storedLength, decodedCount, destination};
  DecodeJobs(state, &job, 1);
  *length = decodedCount;
}
