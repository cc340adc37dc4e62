// Adaptive model encoder: the exact inverse of the stub's model decoder. It
// keeps the same twelve frequency models and the same range, and writes the
// bits that the decoder's renormalisation reads, one bit per doubling, with
// carries propagated back into the bits already written.
#include <cstdint>
#include <utility>
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

// What coding symbol s leaves of `range`: the range after renormalisation
// and the doublings it took. Coding one value costs the decoder
// log2(start / final range) + doublings bits, summed over its symbols.
struct Narrowed {
  uint32_t range;
  int doublings;
};
Narrowed Narrow(const Model& model, Narrowed from, uint32_t s) {
  uint32_t low = 0;
  Narrowed to{SymbolRange(model, from.range, s, &low), from.doublings};
  while (to.range <= kBottomRange) {
    to.range <<= 1;
    ++to.doublings;
  }
  return to;
}

class Encoder {
 public:
  Encoder() { InitModels(models_); }

  void EncodeValue(uint8_t v) {
    const ClassChoice choice = ClassesFor(v);
    uint32_t best = choice.classes[0];
    // Of two classes, the one that costs fewer bits: with both starting from
    // the same range, a costs less than b when 2^da / ra < 2^db / rb.
    if (choice.count == 2) {
      const Narrowed a = ValueCost(choice.classes[0], v);
      const Narrowed b = ValueCost(choice.classes[1], v);
      if ((uint64_t{a.range} << b.doublings) < (uint64_t{b.range} << a.doublings)) best = choice.classes[1];
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
    PutBits(static_cast<uint32_t>(point) & kLowMask, kStartBits);
    if (pendingCount_ > 0) out_.push_back(static_cast<uint8_t>(pending_ << (8 - pendingCount_)));
    return std::move(out_);
  }

 private:
  Narrowed ValueCost(uint32_t c, uint8_t v) const {
    Narrowed n = Narrow(models_[0], Narrowed{range_, 0}, c);
    if (HasOffset(c)) n = Narrow(models_[c - 2], n, v - kClassBase[c]);
    return n;
  }

  void EncodeSymbol(const Model& model, uint32_t s) {
    uint32_t add = 0;
    range_ = SymbolRange(model, range_, s, &add);
    low_ += add;
    if (low_ >= kTopRange) {
      low_ &= kLowMask;
      PropagateCarry();
    }
    // Each doubling of the range shifts the top bit of low_ out.
    int doublings = 0;
    while (range_ <= kBottomRange) {
      range_ <<= 1;
      ++doublings;
    }
    if (doublings > 0) {
      PutBits(low_ >> (kStartBits - doublings), doublings);
      low_ = (low_ << doublings) & kLowMask;
    }
  }

  // Appends the low `count` bits of `bits` (count <= 25), first bit highest.
  void PutBits(uint32_t bits, int count) {
    pending_ = (pending_ << count) | (bits & ((uint64_t{1} << count) - 1));
    pendingCount_ += count;
    while (pendingCount_ >= 8) {
      pendingCount_ -= 8;
      out_.push_back(static_cast<uint8_t>(pending_ >> pendingCount_));
    }
    pending_ &= (uint64_t{1} << pendingCount_) - 1;
  }

  // Adds 1 at the last written bit: the written bits read as one big-endian
  // number. The interval never leaves [0, 2^25) at the start's scale, so a
  // carry always finds a 0 bit to stop at (at worst the unread top bit).
  void PropagateCarry() {
    if (++pending_ < (uint64_t{1} << pendingCount_)) return;
    pending_ = 0;
    size_t i = out_.size();
    while (i > 0 && out_[i - 1] == 0xFF) out_[--i] = 0;
    if (i > 0) ++out_[i - 1];
  }

  Model models_[kModelCount];
  uint32_t range_ = kTopRange;
  uint32_t low_ = 0;  // low 25 bits of the interval's low end
  // Bits already shifted out of low_: whole bytes in out_, the last
  // pendingCount_ (0 to 7) in the low bits of pending_. The stream starts
  // with one 0 bit that the decoder never reads.
  Bytes out_;
  uint64_t pending_ = 0;
  int pendingCount_ = 1;
};

}  // namespace

Bytes EncodeStream(const uint8_t* data, size_t size) {
  Encoder encoder;
  for (size_t i = 0; i < size; ++i) encoder.EncodeValue(data[i]);
  return encoder.Finish();
}

}  // namespace packer
