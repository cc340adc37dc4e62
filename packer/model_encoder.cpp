// Adaptive model encoder: the exact inverse of the stub's model decoder. It
// keeps the same twelve frequency models and the same range, and writes the
// bits that the decoder's renormalisation reads, one bit per doubling, with
// carries propagated back into the bits already written.
#include <cmath>
#include <cstdint>
#include <vector>

#include "packer/model_shape.h"
#include "packer/packer.h"

namespace packer {
namespace {

constexpr uint32_t kTopRange = 0x2000000;     // 2^25
constexpr uint32_t kBottomRange = 0x1000000;  // 2^24
constexpr uint32_t kLowMask = kTopRange - 1;
constexpr int kStartBits = 25;

// Range that symbol s leaves from `range` before renormalisation; the last
// symbol takes the remainder of the truncating division.
uint32_t SymbolRange(const Model& model, uint32_t range, uint32_t s, uint32_t* low) {
  const uint32_t r = range / model.total;
  const uint32_t below = model.CumBelow(s);
  *low = below * r;
  if (below + model.counts[s] < model.total) return model.counts[s] * r;
  return range - below * r;
}

// Information the decoder consumes for symbol s, in bits: the doublings it
// renormalises with, plus what the final range leaves unused.
double SymbolCost(const Model& model, uint32_t* range, uint32_t s) {
  uint32_t low = 0;
  uint32_t next = SymbolRange(model, *range, s, &low);
  int doublings = 0;
  while (next <= kBottomRange) {
    next <<= 1;
    ++doublings;
  }
  const double cost = doublings + std::log2(static_cast<double>(*range) / next);
  *range = next;
  return cost;
}

class Encoder {
 public:
  Encoder() { InitModels(models_); }

  void EncodeValue(uint8_t v) {
    const ClassChoice choice = ClassesFor(v);
    uint32_t best = choice.classes[0];
    if (choice.count == 2) {
      const double first = ValueCost(choice.classes[0], v);
      const double second = ValueCost(choice.classes[1], v);
      if (second < first) best = choice.classes[1];
    }
    EncodeSymbol(models_[0], best);
    models_[0].Update(best);
    if (HasOffset(best)) {
      Model& offsetModel = models_[best - 2];
      const uint32_t s = v - kClassBase[best];
      EncodeSymbol(offsetModel, s);
      offsetModel.Update(s);
    }
  }

  // The decoder reads exactly the bits written so far plus 25 more, which
  // must name a point of the final interval [low, low + range). The point with
  // the most trailing zero bits is written, behind the one unread top bit,
  // and the last byte is padded with zeros: the shortest stream the decoder
  // consumes exactly.
  Bytes Finish() {
    const uint64_t end = static_cast<uint64_t>(low_) + range_;
    uint64_t point = low_;
    for (int j = kStartBits; j >= 0; --j) {
      const uint64_t step = uint64_t{1} << j;
      const uint64_t candidate = (low_ + step - 1) / step * step;
      if (candidate < end) {
        point = candidate;
        break;
      }
    }
    if (point >= kTopRange) PropagateCarry();
    for (int i = kStartBits - 1; i >= 0; --i) bits_.push_back((point >> i) & 1u);
    Bytes out((bits_.size() + 1 + 7) / 8, 0);
    for (size_t i = 0; i < bits_.size(); ++i) {
      const size_t position = i + 1;  // bit 7 of the first byte is never read
      if (bits_[i]) out[position / 8] |= static_cast<uint8_t>(0x80u >> (position % 8));
    }
    return out;
  }

 private:
  double ValueCost(uint32_t c, uint8_t v) const {
    uint32_t range = range_;
    double cost = SymbolCost(models_[0], &range, c);
    if (HasOffset(c)) cost += SymbolCost(models_[c - 2], &range, v - kClassBase[c]);
    return cost;
  }

  void EncodeSymbol(const Model& model, uint32_t s) {
    uint32_t add = 0;
    range_ = SymbolRange(model, range_, s, &add);
    low_ += add;
    if (low_ >= kTopRange) {
      low_ &= kLowMask;
      PropagateCarry();
    }
    while (range_ <= kBottomRange) {
      range_ <<= 1;
      bits_.push_back((low_ >> (kStartBits - 1)) & 1u);
      low_ = (low_ << 1) & kLowMask;
    }
  }

  // Adds 1 at the last written bit. The interval never leaves [0, 2^25) at the
  // start's scale, so a carry always finds a 0 bit to stop at.
  void PropagateCarry() {
    size_t i = bits_.size();
    while (i > 0 && bits_[i - 1] == 1) bits_[--i] = 0;
    if (i > 0) bits_[i - 1] = 1;
  }

  Model models_[12];
  uint32_t range_ = kTopRange;
  uint32_t low_ = 0;  // low 25 bits of the interval's low end
  std::vector<uint8_t> bits_;  // bits already shifted out of low_, one per entry
};

}  // namespace

Bytes EncodeStream(const uint8_t* data, size_t size) {
  Encoder encoder;
  for (size_t i = 0; i < size; ++i) encoder.EncodeValue(data[i]);
  return encoder.Finish();
}

}  // namespace packer
