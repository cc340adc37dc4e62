// The match coder: an LZ77 parser, cutting its items into data blocks that
// stay inside every limit of the block format. Levels 1 to 6 take hash chains
// with greedy or one-step lazy matching; levels 7 to 9 a priced parse over
// the binary-tree match finder (packer/match_finder.cpp), hash chains where
// w = 7.
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
#include <thread>

#include "format/format.h"
#include "packer/match_finder.h"
#include "packer/model_shape.h"
#include "packer/packer.h"
#include "packer/window.h"

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

// The common length of two byte runs, at most `limit` (match_finder.h).
inline size_t CommonLength(const uint8_t* a, const uint8_t* b, size_t limit) {
  return MatchLength(a, b, 0, static_cast<uint32_t>(limit));
}

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
  bool priced;          // choose items by their estimated coded size
  uint32_t treeDepth;   // nodes a tree search visits; 0: hash chains
};

LevelSettings SettingsFor(int level) {
  static const LevelSettings kTable[10] = {
      {1, 8, false, false, 0},    {2, 8, false, false, 0},   {4, 16, false, false, 0},
      {8, 32, true, false, 0},    {16, 64, true, false, 0},  {32, 128, true, false, 0},
      {64, 256, true, false, 0},  {24, 48, true, true, 12},  {64, 96, true, true, 24},
      {192, 192, true, true, 96}};
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

  // The priced parser's interface (see TreeMatchFinder): distances in bytes back.
  void Search(size_t pos, std::vector<Match>& found) {
    found.clear();
    Walk(pos, [&](size_t length, size_t distance) {
      found.push_back(Match{static_cast<uint32_t>(length), static_cast<uint32_t>(distance)});
    });
    Insert(pos);
  }
  void Skip(size_t pos) { Insert(pos); }
  void Pass(size_t) {}  // a position not inserted is never found

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

  // Returns true when the item starts a new block.
  bool Add(const Item& item) {
    covered_ += item.length == 0 ? 1 : item.length;
    const uint32_t lengthBytes = item.length == 0 ? 0 : (item.length - kMinMatch >= kLengthEscape ? 3 : 1);
    const bool cut = items_.size() / 8 + 1 > kStreamLimit || literals_ + 1 > kStreamLimit ||
                     lengthBytes_ + 3 > kStreamLimit || matches_ + 1 > kStreamLimit;
    if (cut) Cut();
    items_.push_back(item);
    if (item.length == 0) {
      ++literals_;
    } else {
      ++matches_;
      lengthBytes_ += lengthBytes;
    }
    return cut;
  }

  void Finish() {
    if (!items_.empty() || held_.empty()) {
      if (!held_.empty()) Write(held_, 0, held_.size(), BlockPlace::kMore);
      Write(items_, 0, items_.size(), BlockPlace::kLast);
    } else {
      Write(held_, 0, held_.size(), BlockPlace::kLast);
    }
  }

 private:
  void Cut() {
    if (done_ != nullptr) done_->store(covered_, std::memory_order_relaxed);
    if (!held_.empty()) Write(held_, 0, held_.size(), BlockPlace::kMore);
    held_.swap(items_);
    items_.clear();
    literals_ = matches_ = lengthBytes_ = 0;
  }

  // Writes items [begin, end) as one block, or as two halves when the block
  // writer finds a limit broken.
  void Write(const std::vector<Item>& items, size_t begin, size_t end, BlockPlace place) {
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
    if (WriteBlock(s, static_cast<int>(width_), place, block)) {
      sink_(block);
      return;
    }
    if (end - begin < 2) throw std::runtime_error("the block writer refused a single item");
    const size_t middle = begin + (end - begin) / 2;
    Write(items, begin, middle, BlockPlace::kMore);
    Write(items, middle, end, place);
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

// Coded sizes of items, in 1/32 bit. Each stream of a block is coded by the
// adaptive model coder from fresh models; the prices follow a copy of those
// models, fed with the items chosen so far and started afresh at every block
// cut, so that a byte costs what its class and offset take from the models'
// present counts. The flag bits, coded eight to a byte, are priced from the
// share of literals among the recent items; the low distance bits go into
// the table raw, w - 8 bits each.
constexpr uint32_t kBit = 32;

// log2(x) in 1/32 bit for the counts and totals a model can hold.
const std::array<uint32_t, 2048>& LogTable() {
  static const std::array<uint32_t, 2048> table = [] {
    std::array<uint32_t, 2048> t{};
    for (size_t x = 1; x < t.size(); ++x)
      t[x] = static_cast<uint32_t>(std::log2(static_cast<double>(x)) * kBit + 0.5);
    return t;
  }();
  return table;
}

class StreamPrices {
 public:
  StreamPrices() { Reset(); }
  void Reset() { InitModels(models_); }

  // Codes v as the encoder does: the cheaper class where two can take it.
  void Code(uint8_t v) {
    const ClassChoice choice = ClassesFor(v);
    uint32_t c = choice.classes[0];
    if (choice.count == 2 && ClassPrice(choice.classes[1], v) < ClassPrice(c, v))
      c = choice.classes[1];
    models_[0].Update(c);
    if (HasOffset(c)) models_[c - 2].Update(v - kClassBase[c]);
  }

  void Refresh() {
    for (uint32_t v = 0; v < 256; ++v) {
      const ClassChoice choice = ClassesFor(static_cast<uint8_t>(v));
      prices[v] = ClassPrice(choice.classes[0], static_cast<uint8_t>(v));
      if (choice.count == 2)
        prices[v] = std::min(prices[v], ClassPrice(choice.classes[1], static_cast<uint8_t>(v)));
    }
  }

  std::array<uint32_t, 256> prices{};

 private:
  uint32_t ClassPrice(uint32_t c, uint8_t v) const {
    const auto& log = LogTable();
    uint32_t price = log[models_[0].total] - log[models_[0].counts[c]];
    if (HasOffset(c)) {
      const Model& m = models_[c - 2];
      price += log[m.total] - log[m.counts[v - kClassBase[c]]];
    }
    return price;
  }

  Model models_[kModelCount];
};

class Prices {
 public:
  explicit Prices(uint32_t width)
      : width_(width), lowPrice_(width > 8 ? (width - 8) * kBit : 0) {
    Refresh();
  }

  void Reset() {
    for (StreamPrices* s : {&literals_, &lengths_, &high_, &middle_}) s->Reset();
  }
  void CountLiteral(uint8_t b) {
    literals_.Code(b);
    ++flagLiterals_;
  }
  void CountMatch(uint32_t length, uint32_t d) {
    const uint32_t code = length - kMinMatch;
    if (code < kLengthEscape) {
      lengths_.Code(static_cast<uint8_t>(code));
    } else {
      lengths_.Code(kLengthEscape);
      lengths_.Code(static_cast<uint8_t>(code & 0xFF));
      lengths_.Code(static_cast<uint8_t>(code >> 8));
    }
    high_.Code(static_cast<uint8_t>(d >> width_));
    middle_.Code(width_ >= 8 ? static_cast<uint8_t>(d >> (width_ - 8)) : 0);
    ++flagMatches_;
  }

  // Turns the models' counts into prices; called between parsed stretches.
  void Refresh() {
    for (StreamPrices* s : {&literals_, &lengths_, &high_, &middle_}) s->Refresh();
    const double items = flagLiterals_ + flagMatches_ + 2.0;
    literalFlag_ = BitPrice((flagLiterals_ + 1.0) / items);
    matchFlag_ = BitPrice((flagMatches_ + 1.0) / items);
    if (flagLiterals_ + flagMatches_ > 8192) {
      flagLiterals_ /= 2;
      flagMatches_ /= 2;
    }
    for (uint32_t code = 0; code < kLengthEscape; ++code) lengthPrices_[code] = lengths_.prices[code];
    // Two more length bytes, priced as an average byte of the stream.
    escapePrice_ = lengths_.prices[kLengthEscape] + 2 * 6 * kBit;
  }

  uint32_t Literal(uint8_t b) const { return literalFlag_ + literals_.prices[b]; }
  // Everything of a match but its length; d is the distance field (bytes back - 1).
  uint32_t Distance(uint32_t d) const {
    return matchFlag_ + lowPrice_ + high_.prices[(d >> width_) & 0xFF] +
           middle_.prices[width_ >= 8 ? (d >> (width_ - 8)) & 0xFF : 0];
  }
  uint32_t Length(uint32_t length) const {
    const uint32_t code = length - kMinMatch;
    return code < kLengthEscape ? lengthPrices_[code] : escapePrice_;
  }

 private:
  static uint32_t BitPrice(double probability) {
    return static_cast<uint32_t>(-std::log2(probability) * kBit + 0.5);
  }

  uint32_t width_;
  uint32_t lowPrice_;
  StreamPrices literals_, lengths_, high_, middle_;
  std::array<uint32_t, kLengthEscape> lengthPrices_{};
  uint32_t escapePrice_ = 0;
  uint32_t flagLiterals_ = 0, flagMatches_ = 0;
  uint32_t literalFlag_ = 0, matchFlag_ = 0;
};

// Steps searched as the parser asks for them (see SearchStep).
template <typename Finder>
class SearchedSteps {
 public:
  SearchedSteps(Finder& finder, Window& data, uint32_t nice)
      : finder_(finder), data_(data), nice_(nice) {}
  // As MatchesAhead::Next.
  size_t Next(size_t pos, const Match** list, uint8_t* byte) {
    SearchStep(finder_, data_, pos, nice_, kMaxMatch, skipper_, found_);
    *byte = data_[pos];
    *list = found_.data();
    return found_.size();
  }

 private:
  Finder& finder_;
  Window& data_;
  uint32_t nice_;
  SearchSkipper skipper_;
  std::vector<Match> found_;
};

// Price-driven parse: the stream is taken in stretches of up to kStretch
// positions; in each, the cheapest chain of literals and matches from its
// start to its end is found by a forward pass over the positions (every match
// length up to the longest found, from the cheapest source found that reaches
// it).
// A match of the nice length or more ends the stretch and is taken as is,
// extended as far as it goes.
template <typename Steps>
class PricedParser {
 public:
  static constexpr size_t kStretch = 2048;

  PricedParser(size_t total, Steps& steps, BlockCutter& cutter, uint32_t width,
               uint32_t niceLength)
      : total_(total), steps_(steps), cutter_(cutter), prices_(width), nice_(niceLength),
        price_(kStretch + 1), length_(kStretch + 1), distance_(kStretch + 1), bytes_(kStretch) {}

  void Run() {
    size_t pos = 0;
    const size_t n = total_;
    while (pos < n) {
      const size_t end = std::min(n, pos + kStretch);
      const size_t stop = Stretch(pos, end);
      Emit(stop - pos);
      pos = stop;
      if (pos < end) pos = TakeLong(pos);
      prices_.Refresh();
    }
  }

 private:
  // Prices every way through [pos, end) and returns where the cheapest ways
  // are known up to: `end`, or the start of a match of the nice length.
  size_t Stretch(size_t pos, size_t end) {
    const size_t span = end - pos;
    std::fill(price_.begin(), price_.begin() + span + 1, UINT32_MAX);
    price_[0] = 0;
    for (size_t i = pos; i < end; ++i) {
      const size_t j = i - pos;
      const Match* found;
      const size_t count = steps_.Next(i, &found, &bytes_[j]);
      if (count > 0 && found[count - 1].length >= nice_) {
        longMatch_ = found[count - 1];
        return i;
      }
      const uint32_t here = price_[j];
      const uint32_t literal = here + prices_.Literal(bytes_[j]);
      if (literal < price_[j + 1]) {
        price_[j + 1] = literal;
        length_[j + 1] = 0;
      }
      // A longer source serves every shorter length too: each length takes
      // the cheapest distance among the sources that reach it.
      if (cheapest_.size() < count) cheapest_.resize(count);
      for (size_t k = count; k-- > 0;) {
        const uint32_t d = found[k].distance - 1;
        const uint32_t p = prices_.Distance(d);
        if (k + 1 == count || p < cheapest_[k + 1].price) {
          cheapest_[k] = {p, d};
        } else {
          cheapest_[k] = cheapest_[k + 1];
        }
      }
      uint32_t shortest = kMinMatch;
      for (size_t k = 0; k < count; ++k) {
        const uint32_t longest = static_cast<uint32_t>(std::min<size_t>(found[k].length, span - j));
        const uint32_t base = here + cheapest_[k].price;
        for (uint32_t length = shortest; length <= longest; ++length) {
          const uint32_t total = base + prices_.Length(length);
          if (total < price_[j + length]) {
            price_[j + length] = total;
            length_[j + length] = length;
            distance_[j + length] = cheapest_[k].distance;
          }
        }
        shortest = found[k].length + 1;
      }
    }
    return end;
  }

  // Takes the long match found at `pos` (already extended as far as it
  // goes) and returns the position behind it.
  size_t TakeLong(size_t pos) {
    Take(Item{longMatch_.length, longMatch_.distance - 1, 0});
    return pos + longMatch_.length;
  }

  // Hands the cheapest chain through the first `count` positions of the
  // stretch to the cutter.
  void Emit(size_t count) {
    path_.clear();
    for (size_t k = count; k > 0;) {
      if (length_[k] == 0) {
        path_.push_back(Item{0, 0, bytes_[k - 1]});
        --k;
      } else {
        path_.push_back(Item{length_[k], distance_[k], 0});
        k -= length_[k];
      }
    }
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) Take(*it);
  }

  void Take(const Item& item) {
    if (cutter_.Add(item)) prices_.Reset();
    if (item.length == 0) {
      prices_.CountLiteral(item.literal);
    } else {
      prices_.CountMatch(item.length, item.distance);
    }
  }

  size_t total_;
  Steps& steps_;
  BlockCutter& cutter_;
  Prices prices_;
  uint32_t nice_;
  Match longMatch_{0, 0};
  std::vector<uint32_t> price_;     // cheapest price to reach each position of the stretch
  std::vector<uint32_t> length_;    // the last item on that way: 0 literal, else match length
  std::vector<uint32_t> distance_;  // and the match's distance field
  std::vector<uint8_t> bytes_;      // the stream's bytes of the stretch, from the steps
  struct Priced {
    uint32_t price, distance;
  };
  std::vector<Priced> cheapest_;  // per match of a step: see Stretch
  std::vector<Item> path_;
};


// Levels that search with the tree finder, on a second thread when `threads` > 1.
void ParseWithTree(Window& stream, BlockCutter& cutter, uint32_t windowSize, uint32_t width,
                   const LevelSettings& settings, int threads) {
  if (threads > 1) {
    MatchesAhead steps(stream, windowSize, settings.niceLength, settings.treeDepth, kMaxMatch);
    PricedParser<MatchesAhead>(stream.total(), steps, cutter, width, settings.niceLength).Run();
  } else {
    TreeMatchFinder tree(stream, windowSize, settings.niceLength, settings.treeDepth);
    SearchedSteps<TreeMatchFinder> steps(tree, stream, settings.niceLength);
    PricedParser<SearchedSteps<TreeMatchFinder>>(stream.total(), steps, cutter, width,
                                                 settings.niceLength).Run();
  }
}

// The greedy and lazy parse: each position takes the longest match found, or
// with `lazy` the next position's when that is longer.
void ParseGreedy(Window& stream, MatchFinder& finder, BlockCutter& cutter, const LevelSettings& settings) {
  const size_t n = stream.total();
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
  SearchSkipper skipper;
  while (pos < n) {
    stream.Need(pos);  // also after a lazy step, which skips the Need below
    if (current.length == 0) {
      skipper.Found(false);
      literal(pos);
      ++pos;
      for (; pos < n; ++pos) {
        stream.Need(pos);
        if (skipper.Searches(stream, pos)) break;
        literal(pos);
      }
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
      skipper.Found(true);
    } else {
      take(pos, current);
      pos += current.length;
      skipper.Found(true);
    }
    if (pos < n) {
      stream.Need(pos);
      current = finder.Find(pos);
      finder.Insert(pos);
    }
  }
}

}  // namespace

void WriteDataBlocks(uint64_t total, const DataSource& source, int profile, int level,
                     const BlockSink& sink, std::atomic<uint64_t>* done, size_t buffer,
                     int threads) {
  if (profile < 0 || profile >= static_cast<int>(kProfileCount))
    throw std::invalid_argument("size profile must be 0 to 8");
  if (total > 0x7FFFFFFFu) throw std::invalid_argument("data larger than 2 GiB");
  const uint32_t windowSize = WindowSizeOf(static_cast<unsigned>(profile));
  const uint32_t width = DistanceWidthOf(static_cast<unsigned>(profile));
  const LevelSettings settings = SettingsFor(level);
  // The tree's search runs beside the parse where there is a second processor.
  if (threads <= 0) threads = std::thread::hardware_concurrency() > 1 ? 2 : 1;

  Window stream(source, static_cast<size_t>(total), windowSize, buffer);
  BlockCutter cutter(width, sink, done);
  // The tree finder knows no distance rule; with w = 7 the chains keep to it.
  if (settings.treeDepth > 0 && width > 7) {
    ParseWithTree(stream, cutter, windowSize, width, settings, threads);
  } else {
    MatchFinder finder(stream, windowSize, width, settings);
    if (settings.priced) {
      SearchedSteps<MatchFinder> steps(finder, stream, settings.niceLength);
      PricedParser<SearchedSteps<MatchFinder>>(stream.total(), steps, cutter, width, settings.niceLength).Run();
    } else {
      ParseGreedy(stream, finder, cutter, settings);
    }
  }
  cutter.Finish();
}

Bytes WriteDataBlocks(const Bytes& stream, int profile, int level, std::atomic<uint64_t>* done) {
  return WriteDataBlocks(stream, profile, level, 0, done);
}

Bytes WriteDataBlocks(const Bytes& stream, int profile, int level, int threads,
                      std::atomic<uint64_t>* done) {
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
  WriteDataBlocks(stream.size(), source, profile, level, sink, done, stream.size(), threads);
  return out;
}

}  // namespace packer
