// The match coder: an LZ77 parser with a hash-chain match finder and one-step
// lazy matching, cutting its items into data blocks that stay inside every
// limit of the block format.
//
// What the stub's expansion accepts: matches of 4 to 4 + 65,535 bytes, coded
// as length - 4 in one byte or 255 and two bytes; a match starting D + 1 bytes
// back with D < W, D split into a high byte (bits w..w+7), a middle byte
// (bits w-8..w-1) and w - 8 low bits. With w = 7 the middle byte counts for
// nothing, so D must be a multiple of 128.
#include <algorithm>
#include <stdexcept>

#include "container/format.h"
#include "packer/packer.h"

namespace packer {

namespace {

constexpr uint32_t kMaxMatch = kMinMatch + 0xFFFF;
// Hash table size: 2^16 buckets for the smallest window, up to 2^20 for the
// widest, so that chains hold few unrelated positions.
uint32_t HashBitsFor(uint32_t windowSize) {
  uint32_t bits = 16;
  while (bits < 20 && (1u << (bits + 2)) < windowSize) ++bits;
  return bits;
}
constexpr int32_t kNone = -1;
// Every stream of a block is kept at or below the longest stored stream, so
// that even its raw form is accepted whatever the model coder achieves.
constexpr uint32_t kStreamLimit = kMaxStoredLength;

struct Item {
  uint32_t length;    // 0 for a literal
  uint32_t distance;  // D: the match starts D + 1 bytes back
  uint8_t literal;
};

struct LevelSettings {
  uint32_t chainDepth;  // candidates examined per position
  uint32_t niceLength;  // a match this long ends the search
  bool lazy;            // look one position ahead before taking a match
};

LevelSettings SettingsFor(int level) {
  static const LevelSettings kTable[10] = {
      {1, 8, false},      {2, 8, false},     {4, 16, false},    {8, 32, true},
      {16, 64, true},     {32, 128, true},   {64, 256, true},   {128, 1024, true},
      {512, kMaxMatch, true}, {2048, kMaxMatch, true}};
  return kTable[std::clamp(level, 0, 9)];
}

class MatchFinder {
 public:
  MatchFinder(const Bytes& data, uint32_t windowSize, uint32_t width, LevelSettings settings)
      : data_(data), windowSize_(windowSize), width_(width), settings_(settings),
        hashBits_(HashBitsFor(windowSize)), head_(size_t{1} << hashBits_, kNone) {
    // The chain ring needs no more entries than the data has positions.
    size_t ring = 1;
    while (ring < windowSize && ring < data.size()) ring <<= 1;
    ringMask_ = ring - 1;
    prev_.assign(ring, kNone);
  }

  // Longest match for `pos` among the positions inserted so far.
  Item Find(size_t pos) const {
    Item best{0, 0, 0};
    const size_t limit = std::min<size_t>(kMaxMatch, data_.size() - pos);
    if (limit < kMinMatch) return best;
    const uint8_t* here = &data_[pos];
    int32_t candidate = head_[Hash(pos)];
    for (uint32_t tries = settings_.chainDepth; candidate != kNone && tries > 0; --tries) {
      const size_t distance = pos - static_cast<size_t>(candidate);
      if (distance > windowSize_) break;
      // With w = 7 only D = distance - 1 that is a multiple of 128 can be coded.
      if (width_ > 7 || ((distance - 1) & 127) == 0) {
        const uint8_t* there = &data_[candidate];
        if (best.length < limit && there[best.length] == here[best.length]) {
          size_t n = 0;
          while (n < limit && there[n] == here[n]) ++n;
          if (n > best.length) {
            best.length = static_cast<uint32_t>(n);
            best.distance = static_cast<uint32_t>(distance - 1);
            if (n >= settings_.niceLength || n == limit) break;
          }
        }
      }
      const int32_t next = prev_[static_cast<size_t>(candidate) & ringMask_];
      if (next >= candidate) break;  // the ring entry was reused by a newer position
      candidate = next;
    }
    if (best.length < kMinMatch) best.length = 0;
    return best;
  }

  void Insert(size_t pos) {
    if (pos + kMinMatch > data_.size()) return;
    const uint32_t h = Hash(pos);
    prev_[pos & ringMask_] = head_[h];
    head_[h] = static_cast<int32_t>(pos);
  }

 private:
  uint32_t Hash(size_t pos) const {
    const uint32_t v = static_cast<uint32_t>(data_[pos]) | static_cast<uint32_t>(data_[pos + 1]) << 8 |
                       static_cast<uint32_t>(data_[pos + 2]) << 16 |
                       static_cast<uint32_t>(data_[pos + 3]) << 24;
    return (v * 2654435761u) >> (32 - hashBits_);
  }

  const Bytes& data_;
  uint32_t windowSize_;
  uint32_t width_;
  LevelSettings settings_;
  uint32_t hashBits_;
  std::vector<int32_t> head_;
  std::vector<int32_t> prev_;
  size_t ringMask_ = 0;
};

// Turns runs of items into blocks. A block is closed before any of its
// streams could pass kStreamLimit bytes; the one before the newest is held
// back so that the final block can carry the last mark.
class BlockCutter {
 public:
  BlockCutter(uint32_t width, Bytes& out) : width_(width), out_(out) {}

  void Add(const Item& item) {
    const uint32_t lengthBytes = item.length == 0 ? 0 : (item.length - kMinMatch >= kLengthEscape ? 3 : 1);
    if (items_.size() / 8 + 1 > kStreamLimit || literals_ + 1 > kStreamLimit ||
        lengthBytes_ + 3 > kStreamLimit || matches_ + 1 > kStreamLimit)
      Cut();
    items_.push_back(item);
    if (item.length == 0) {
      ++literals_;
    } else {
      ++matches_;
      lengthBytes_ += lengthBytes;
    }
  }

  void Finish() {
    if (!items_.empty() || held_.empty()) {
      if (!held_.empty()) Write(held_, 0, held_.size(), false);
      Write(items_, 0, items_.size(), true);
    } else {
      Write(held_, 0, held_.size(), true);
    }
  }

 private:
  void Cut() {
    if (!held_.empty()) Write(held_, 0, held_.size(), false);
    held_.swap(items_);
    items_.clear();
    literals_ = matches_ = lengthBytes_ = 0;
  }

  // Writes items [begin, end) as one block, or as two halves when the block
  // writer finds a limit broken.
  void Write(const std::vector<Item>& items, size_t begin, size_t end, bool last) {
    BlockStreams s;
    const uint32_t lowBits = width_ > 8 ? width_ - 8 : 0;
    const uint32_t middleShift = width_ >= 8 ? width_ - 8 : 0;
    for (size_t i = begin; i < end; ++i) {
      const size_t n = i - begin;
      if (n % 8 == 0) s.flags.push_back(0);
      const Item& item = items[i];
      if (item.length == 0) {
        s.flags.back() = static_cast<uint8_t>(s.flags.back() | (1u << (n % 8)));
        s.literals.push_back(item.literal);
        continue;
      }
      const uint32_t code = item.length - kMinMatch;
      if (code < kLengthEscape) {
        s.lengths.push_back(static_cast<uint8_t>(code));
      } else {
        s.lengths.push_back(kLengthEscape);
        s.lengths.push_back(static_cast<uint8_t>(code & 0xFF));
        s.lengths.push_back(static_cast<uint8_t>(code >> 8));
      }
      s.high.push_back(static_cast<uint8_t>(item.distance >> width_));
      // With w = 7 the middle byte is not used; it is stored as 0.
      s.middle.push_back(width_ >= 8 ? static_cast<uint8_t>(item.distance >> middleShift) : 0);
      if (lowBits > 0) s.low.push_back(static_cast<uint16_t>(item.distance & ((1u << lowBits) - 1)));
    }
    s.itemsInLastFlagByte = static_cast<uint32_t>((end - begin) % 8);
    if (WriteBlock(s, static_cast<int>(width_), last, out_)) return;
    if (end - begin < 2) throw std::runtime_error("the block writer refused a single item");
    const size_t middle = begin + (end - begin) / 2;
    Write(items, begin, middle, false);
    Write(items, middle, end, last);
  }

  uint32_t width_;
  Bytes& out_;
  std::vector<Item> items_;
  std::vector<Item> held_;
  uint32_t literals_ = 0;
  uint32_t matches_ = 0;
  uint32_t lengthBytes_ = 0;
};

}  // namespace

Bytes WriteDataBlocks(const Bytes& stream, int profile, int level) {
  if (profile < 0 || profile >= static_cast<int>(kProfileCount))
    throw std::invalid_argument("size profile must be 0 to 8");
  if (stream.size() > 0x7FFFFFFFu) throw std::invalid_argument("data larger than 2 GiB");
  const uint32_t windowSize = 32768u << profile;
  const uint32_t width = 7u + static_cast<uint32_t>(profile);
  const LevelSettings settings = SettingsFor(level);

  Bytes out;
  BlockCutter cutter(width, out);
  MatchFinder finder(stream, windowSize, width, settings);
  const size_t n = stream.size();

  auto literal = [&](size_t pos) { cutter.Add(Item{0, 0, stream[pos]}); };
  auto take = [&](size_t pos, const Item& match) {
    cutter.Add(match);
    for (size_t q = pos + 1; q < pos + match.length; ++q) finder.Insert(q);
  };

  size_t pos = 0;
  Item current{0, 0, 0};
  if (n > 0) {
    current = finder.Find(0);
    finder.Insert(0);
  }
  while (pos < n) {
    if (current.length == 0) {
      literal(pos);
      ++pos;
    } else if (settings.lazy && current.length < settings.niceLength && pos + 1 < n) {
      Item next = finder.Find(pos + 1);
      finder.Insert(pos + 1);
      if (next.length > current.length) {
        literal(pos);
        ++pos;
        current = next;
        continue;
      }
      cutter.Add(current);
      for (size_t q = pos + 2; q < pos + current.length; ++q) finder.Insert(q);
      pos += current.length;
    } else {
      take(pos, current);
      pos += current.length;
    }
    if (pos < n) {
      current = finder.Find(pos);
      finder.Insert(pos);
    }
  }
  cutter.Finish();
  return out;
}

}  // namespace packer
