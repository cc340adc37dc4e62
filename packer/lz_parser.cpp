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
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

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

// Length of the common prefix of a and b, at most `limit` bytes; compares
// eight bytes at a time while eight remain.
inline size_t CommonLength(const uint8_t* a, const uint8_t* b, size_t limit) {
  size_t n = 0;
  while (n + 8 <= limit) {
    uint64_t x, y;
    memcpy(&x, a + n, 8);
    memcpy(&y, b + n, 8);
    if (x != y) {
      // The first differing byte is the lowest one in memory order.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      return n + static_cast<size_t>(__builtin_clzll(x ^ y) >> 3);
#else
      return n + static_cast<size_t>(__builtin_ctzll(x ^ y) >> 3);
#endif
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}
// Every stream of a block is kept at or below the longest stored stream, so
// that even its raw form is accepted whatever the model coder achieves.
constexpr uint32_t kStreamLimit = kMaxStoredLength;

// The part of the stream in memory: positions [base, size()) in absolute
// stream positions, so that the finder and the parsers index it as if the
// whole stream were there. Need(pos) guarantees that every position from
// pos - window to pos + kLookahead (or the end of the stream) is present.
// What is read from one Need to the next stays in that range: sources up to
// a window back, and ahead a stretch of the priced parser and the longest
// match behind it, or a run of lazy steps (each match longer than the one
// before) and the longest match after it.
constexpr size_t kLookahead = 2 * (kMinMatch + 0xFFFF) + 8192;

class Window {
 public:
  // Holds at most max(capacity, 2 * window + 2 * kLookahead) bytes, and never
  // more than the stream has.
  Window(const DataSource& source, size_t total, size_t window, size_t capacity)
      : source_(source), total_(total), window_(window) {
    capacity_ = std::min(std::max(capacity, 2 * window + 2 * kLookahead), total);
    bytes_.reserve(capacity_);
  }

  const uint8_t& operator[](size_t pos) const { return bytes_[pos - base_]; }
  size_t size() const { return base_ + bytes_.size(); }  // end of what has arrived
  size_t total() const { return total_; }

  void Need(size_t pos) {
    if (size() >= total_ || size() >= pos + kLookahead) return;
    if (bytes_.size() == capacity_) {
      // Drops what lies more than a window behind `pos`: no match reaches it.
      const size_t drop = pos - window_ - base_;
      std::memmove(bytes_.data(), bytes_.data() + drop, bytes_.size() - drop);
      bytes_.resize(bytes_.size() - drop);
      base_ += drop;
    }
    while (bytes_.size() < capacity_ && size() < total_) {
      const size_t have = bytes_.size();
      const size_t want = std::min(capacity_ - have, total_ - size());
      bytes_.resize(have + want);
      const size_t got = source_(bytes_.data() + have, want);
      bytes_.resize(have + std::min(got, want));
      if (got == 0)
        throw std::runtime_error("the data ended after " + std::to_string(size()) + " of " +
                                 std::to_string(total_) + " bytes");
    }
  }

 private:
  const DataSource& source_;
  size_t total_;
  size_t window_;
  size_t capacity_;
  size_t base_ = 0;  // stream position of bytes_[0]
  Bytes bytes_;      // reserved for capacity_ bytes at the start: it never moves
};

struct Item {
  uint32_t length;    // 0 for a literal
  uint32_t distance;  // D: the match starts D + 1 bytes back
  uint8_t literal;
};

struct LevelSettings {
  uint32_t chainDepth;  // candidates examined per position
  uint32_t niceLength;  // a match this long ends the search
  bool lazy;            // look one position ahead before taking a match
  bool priced;          // choose items by their estimated coded size
};

LevelSettings SettingsFor(int level) {
  static const LevelSettings kTable[10] = {
      {1, 8, false, false},     {2, 8, false, false},   {4, 16, false, false},
      {8, 32, true, false},     {16, 64, true, false},  {32, 128, true, false},
      {64, 256, true, false},   {24, 64, true, true},   {64, 128, true, true},
      {192, 256, true, true}};
  return kTable[std::clamp(level, 0, 9)];
}

class MatchFinder {
 public:
  MatchFinder(const Window& data, uint32_t windowSize, uint32_t width, LevelSettings settings)
      : data_(data), windowSize_(windowSize), width_(width), settings_(settings),
        hashBits_(HashBitsFor(windowSize)), head_(size_t{1} << hashBits_, kNone) {
    // The chain ring needs no more entries than the data has positions.
    size_t ring = 1;
    while (ring < windowSize && ring < data.total()) ring <<= 1;
    ringMask_ = ring - 1;
    prev_.assign(ring, kNone);
  }

  // Longest match for `pos` among the positions inserted so far.
  Item Find(size_t pos) const {
    Item best{0, 0, 0};
    Walk(pos, [&](size_t length, size_t distance) {
      best = Item{static_cast<uint32_t>(length), static_cast<uint32_t>(distance - 1), 0};
    });
    return best;
  }

  // Every match for `pos` that is longer than all closer ones, in order of
  // growing length (so also of growing distance): for each length the
  // closest source. Stops at the nice length.
  void FindAll(size_t pos, std::vector<Item>& found) const {
    found.clear();
    Walk(pos, [&](size_t length, size_t distance) {
      found.push_back(Item{static_cast<uint32_t>(length), static_cast<uint32_t>(distance - 1), 0});
    });
  }

  void Insert(size_t pos) {
    if (pos + kMinMatch > data_.size()) return;
    const uint32_t h = Hash(pos);
    prev_[pos & ringMask_] = head_[h];
    head_[h] = static_cast<int32_t>(pos);
  }

 private:
  // Follows the hash chain of `pos` from the closest position back and calls
  // found(length, distance) for every match of at least kMinMatch bytes that
  // is longer than all closer ones. Stops after the chain depth, beyond the
  // window, or at a match of the nice length or of all bytes left.
  template <typename Found>
  void Walk(size_t pos, Found found) const {
    const size_t limit = std::min<size_t>(kMaxMatch, data_.size() - pos);
    if (limit < kMinMatch) return;
    const uint8_t* here = &data_[pos];
    size_t bestLength = kMinMatch - 1;
    int32_t candidate = head_[Hash(pos)];
    for (uint32_t tries = settings_.chainDepth; candidate != kNone && tries > 0; --tries) {
      const size_t distance = pos - static_cast<size_t>(candidate);
      if (distance > windowSize_) break;
      // With w = 7 only D = distance - 1 that is a multiple of 128 can be coded.
      if (width_ > 7 || ((distance - 1) & 127) == 0) {
        const uint8_t* there = &data_[candidate];
        // A source that differs at the best length cannot beat it.
        if (there[bestLength] == here[bestLength]) {
          const size_t n = CommonLength(there, here, limit);
          if (n > bestLength) {
            bestLength = n;
            found(n, distance);
            if (n >= settings_.niceLength || n == limit) break;
          }
        }
      }
      const int32_t next = prev_[static_cast<size_t>(candidate) & ringMask_];
      if (next >= candidate) break;  // the ring entry was reused by a newer position
      candidate = next;
    }
  }

  uint32_t Hash(size_t pos) const {
    const uint32_t v = static_cast<uint32_t>(data_[pos]) | static_cast<uint32_t>(data_[pos + 1]) << 8 |
                       static_cast<uint32_t>(data_[pos + 2]) << 16 |
                       static_cast<uint32_t>(data_[pos + 3]) << 24;
    return (v * 2654435761u) >> (32 - hashBits_);
  }

  const Window& data_;
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
// back so that the final block can carry the last mark. Each block goes to
// the sink as soon as it is written.
class BlockCutter {
 public:
  BlockCutter(uint32_t width, const BlockSink& sink, std::atomic<uint64_t>* done)
      : width_(width), sink_(sink), done_(done) {}

  void Add(const Item& item) {
    covered_ += item.length == 0 ? 1 : item.length;
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
    if (done_ != nullptr) done_->store(covered_, std::memory_order_relaxed);
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
    Bytes block;
    if (WriteBlock(s, static_cast<int>(width_), last, block)) {
      sink_(block);
      return;
    }
    if (end - begin < 2) throw std::runtime_error("the block writer refused a single item");
    const size_t middle = begin + (end - begin) / 2;
    Write(items, begin, middle, false);
    Write(items, middle, end, last);
  }

  uint32_t width_;
  const BlockSink& sink_;
  std::atomic<uint64_t>* done_;
  uint64_t covered_ = 0;  // stream bytes the items added so far stand for
  std::vector<Item> items_;
  std::vector<Item> held_;
  uint32_t literals_ = 0;
  uint32_t matches_ = 0;
  uint32_t lengthBytes_ = 0;
};

// Estimated coded sizes of items, in 1/32 bit. The model coder adapts to
// each stream of a block, so every stream gets its own byte statistics from
// the items chosen so far, with older counts fading (halved once a table has
// seen a few thousand bytes). The low distance bits go into the table raw,
// w - 8 bits each.
constexpr uint32_t kBit = 32;

class Prices {
 public:
  explicit Prices(uint32_t width)
      : width_(width), lowPrice_(width > 8 ? (width - 8) * kBit : 0) {
    for (Table* t : {&literals_, &lengths_, &high_, &middle_}) t->counts.fill(1);
    // Short lengths and near distances are the usual ones.
    for (uint32_t v = 0; v < 256; ++v) {
      lengths_.counts[v] += v < 16 ? 64 / (v + 1) : 0;
      high_.counts[v] += v == 0 ? 64 : 0;
    }
    Refresh();
  }

  void CountLiteral(uint8_t b) {
    ++literals_.counts[b];
    ++flagLiterals_;
  }
  void CountMatch(const Item& m) {
    const uint32_t code = m.length - kMinMatch;
    ++lengths_.counts[code < kLengthEscape ? code : kLengthEscape];
    ++high_.counts[(m.distance >> width_) & 0xFF];
    if (width_ >= 8) ++middle_.counts[(m.distance >> (width_ - 8)) & 0xFF];
    ++flagMatches_;
  }

  // Turns the counts into prices; called between parsed stretches.
  void Refresh() {
    for (Table* t : {&literals_, &lengths_, &high_, &middle_}) t->Refresh();
    if (width_ < 8) middle_.prices.fill(0);  // the middle byte is always 0 then
    const double items = flagLiterals_ + flagMatches_ + 2.0;
    literalFlag_ = BitPrice((flagLiterals_ + 1.0) / items);
    matchFlag_ = BitPrice((flagMatches_ + 1.0) / items);
    if (flagLiterals_ + flagMatches_ > 8192) {
      flagLiterals_ /= 2;
      flagMatches_ /= 2;
    }
  }

  uint32_t Literal(uint8_t b) const { return literalFlag_ + literals_.prices[b]; }
  // Everything of a match but its length.
  uint32_t Distance(uint32_t distance) const {
    return matchFlag_ + lowPrice_ + high_.prices[(distance >> width_) & 0xFF] +
           middle_.prices[width_ >= 8 ? (distance >> (width_ - 8)) & 0xFF : 0];
  }
  uint32_t Length(uint32_t length) const {
    const uint32_t code = length - kMinMatch;
    if (code < kLengthEscape) return lengths_.prices[code];
    return lengths_.prices[kLengthEscape] + 14 * kBit;  // two more length bytes
  }

 private:
  struct Table {
    std::array<uint32_t, 256> counts;
    std::array<uint32_t, 256> prices;
    void Refresh() {
      uint64_t total = 0;
      for (uint32_t c : counts) total += c;
      for (int v = 0; v < 256; ++v)
        prices[v] = BitPrice(static_cast<double>(counts[v]) / static_cast<double>(total));
      if (total > 4096) {
        for (uint32_t& c : counts) c = (c + 1) / 2;
      }
    }
  };
  static uint32_t BitPrice(double probability) {
    return static_cast<uint32_t>(-std::log2(probability) * kBit + 0.5);
  }

  uint32_t width_;
  uint32_t lowPrice_;
  Table literals_, lengths_, high_, middle_;
  uint32_t flagLiterals_ = 0, flagMatches_ = 0;
  uint32_t literalFlag_ = 0, matchFlag_ = 0;
};

// Price-driven parse: the stream is taken in stretches of up to kStretch
// positions; in each, the cheapest chain of literals and matches from its
// start to its end is found by a forward pass over the positions (every match
// length up to the longest found, at the closest distance that reaches it).
// A match of the nice length or more ends the stretch and is taken as is.
class PricedParser {
 public:
  static constexpr size_t kStretch = 4096;

  PricedParser(Window& data, MatchFinder& finder, BlockCutter& cutter, uint32_t width,
               uint32_t niceLength)
      : data_(data), finder_(finder), cutter_(cutter), prices_(width), nice_(niceLength),
        price_(kStretch + 1), length_(kStretch + 1), distance_(kStretch + 1) {}

  void Run() {
    size_t pos = 0;
    const size_t n = data_.total();
    while (pos < n) {
      data_.Need(pos);
      const size_t end = std::min(n, pos + kStretch);
      const size_t span = end - pos;
      std::fill(price_.begin(), price_.begin() + span + 1, UINT32_MAX);
      price_[0] = 0;
      size_t stop = end;
      Item longMatch{0, 0, 0};
      for (size_t i = pos; i < end; ++i) {
        const size_t j = i - pos;
        finder_.FindAll(i, found_);
        finder_.Insert(i);
        if (!found_.empty() && found_.back().length >= nice_) {
          stop = i;
          longMatch = found_.back();
          break;
        }
        const uint32_t here = price_[j];
        const uint32_t literal = here + prices_.Literal(data_[i]);
        if (literal < price_[j + 1]) {
          price_[j + 1] = literal;
          length_[j + 1] = 0;
        }
        uint32_t shortest = kMinMatch;
        for (const Item& m : found_) {
          const uint32_t longest = static_cast<uint32_t>(std::min<size_t>(m.length, span - j));
          const uint32_t base = here + prices_.Distance(m.distance);
          for (uint32_t length = shortest; length <= longest; ++length) {
            const uint32_t total = base + prices_.Length(length);
            if (total < price_[j + length]) {
              price_[j + length] = total;
              length_[j + length] = length;
              distance_[j + length] = m.distance;
            }
          }
          shortest = m.length + 1;
        }
      }
      Emit(pos, stop - pos);
      if (longMatch.length != 0) {
        Take(longMatch);
        for (size_t q = stop + 1; q < stop + longMatch.length; ++q) finder_.Insert(q);
        stop += longMatch.length;
      }
      prices_.Refresh();
      pos = stop;
    }
  }

 private:
  // Hands the cheapest chain from `start` to start + `count` to the cutter.
  void Emit(size_t start, size_t count) {
    path_.clear();
    for (size_t k = count; k > 0;) {
      if (length_[k] == 0) {
        path_.push_back(Item{0, 0, data_[start + k - 1]});
        --k;
      } else {
        path_.push_back(Item{length_[k], distance_[k], 0});
        k -= length_[k];
      }
    }
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) Take(*it);
  }

  void Take(const Item& item) {
    cutter_.Add(item);
    if (item.length == 0) {
      prices_.CountLiteral(item.literal);
    } else {
      prices_.CountMatch(item);
    }
  }

  Window& data_;
  MatchFinder& finder_;
  BlockCutter& cutter_;
  Prices prices_;
  uint32_t nice_;
  std::vector<uint32_t> price_;     // cheapest price to reach each position of the stretch
  std::vector<uint32_t> length_;    // the last item on that way: 0 literal, else match length
  std::vector<uint32_t> distance_;  // and the match's distance field
  std::vector<Item> found_;
  std::vector<Item> path_;
};

}  // namespace

void WriteDataBlocks(uint64_t total, const DataSource& source, int profile, int level,
                     const BlockSink& sink, std::atomic<uint64_t>* done, size_t buffer) {
  if (profile < 0 || profile >= static_cast<int>(kProfileCount))
    throw std::invalid_argument("size profile must be 0 to 8");
  if (total > 0x7FFFFFFFu) throw std::invalid_argument("data larger than 2 GiB");
  const uint32_t windowSize = 32768u << profile;
  const uint32_t width = 7u + static_cast<uint32_t>(profile);
  const LevelSettings settings = SettingsFor(level);

  Window stream(source, static_cast<size_t>(total), windowSize, buffer);
  BlockCutter cutter(width, sink, done);
  MatchFinder finder(stream, windowSize, width, settings);
  const size_t n = stream.total();
  if (settings.priced) {
    PricedParser(stream, finder, cutter, width, settings.niceLength).Run();
    cutter.Finish();
    return;
  }

  auto literal = [&](size_t pos) { cutter.Add(Item{0, 0, stream[pos]}); };
  auto take = [&](size_t pos, const Item& match) {
    cutter.Add(match);
    for (size_t q = pos + 1; q < pos + match.length; ++q) finder.Insert(q);
  };

  size_t pos = 0;
  Item current{0, 0, 0};
  if (n > 0) {
    stream.Need(0);
    current = finder.Find(0);
    finder.Insert(0);
  }
  while (pos < n) {
    stream.Need(pos);  // also after a lazy step, which skips the Need below
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
      stream.Need(pos);
      current = finder.Find(pos);
      finder.Insert(pos);
    }
  }
  cutter.Finish();
}

Bytes WriteDataBlocks(const Bytes& stream, int profile, int level, std::atomic<uint64_t>* done) {
  size_t given = 0;
  const DataSource source = [&](uint8_t* into, size_t size) {
    size = std::min(size, stream.size() - given);
    std::memcpy(into, stream.data() + given, size);
    given += size;
    return size;
  };
  // Room for the packed blocks of well compressible data; pages not written
  // are not touched, and the vector grows past it for data that packs worse.
  Bytes out;
  out.reserve(stream.size() / 2 + 65536);
  const BlockSink sink = [&](const Bytes& block) { out.insert(out.end(), block.begin(), block.end()); };
  // The whole stream in one buffer: nothing is ever dropped from it.
  WriteDataBlocks(stream.size(), source, profile, level, sink, done, stream.size());
  return out;
}

}  // namespace packer
