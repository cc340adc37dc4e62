// How far the level 9 parse is from the best parse the block format allows,
// stream by stream, on a sample of a file (the benchmark payload as one tar).
//
//   packer     WriteDataBlocks at level 9, size profile 8 (8 MiB window)
//   exhaustive a parse that searches every position for sources up to
//              16,384 tree nodes deep and 4,096 bytes long, tries every source and length found, and finds
//              the cheapest way through the whole sample at once (no
//              stretches); its prices are the byte statistics that the
//              previous pass left in each block, pass after pass
//   xz -6      the same sample through `xz -6 -T1`, for scale
//
//   all-sources one more pass on the last prices where every source of the
//              first 1,024 with the same four bytes is tried at every length
//              up to 273, so that a farther source with cheaper distance
//              bytes can win
//
// Both parses are written as blocks by the packer's block writer and counted
// from the block records: flag, literal, length, high and middle streams as
// stored, the low-bit tables, and the block headers and record fields.
//
// Usage: parse_bound FILE [OFFSET [LENGTH [COUNT]]]   (default: 0, 4 MiB, 1)
// COUNT samples of LENGTH bytes one after the other, each measured on its
// own (window and blocks start afresh), and their sums.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "format/format.h"
#include "packer/match_finder.h"
#include "packer/packer.h"

namespace {

using packer::Bytes;
using packer::Match;

constexpr uint32_t kWidth = DistanceWidthOf(8);
constexpr uint32_t kWindow = WindowSizeOf(8);
constexpr uint32_t kSearchNice = 4096;  // the search follows sources this far
constexpr uint32_t kNice = 273;  // longer matches are only tried at full length
constexpr int kPasses = 4;

struct Sizes {
  uint64_t streams[5] = {};  // flags, literals, lengths, high, middle as stored
  uint64_t low = 0;          // low-bit tables
  uint64_t framing = 0;      // block headers and record fields
  uint64_t Total() const {
    uint64_t t = low + framing;
    for (uint64_t s : streams) t += s;
    return t;
  }
};

// Walks the blocks that WriteDataBlocks or WriteBlock wrote.
Sizes CountBlocks(const Bytes& blocks) {
  Sizes s;
  size_t p = 0;
  while (p + kBlockHeaderSize <= blocks.size()) {
    s.framing += kBlockHeaderSize;
    p += kBlockHeaderSize;
    uint32_t matches = 0;
    for (int i = 0; i < 5; ++i) {
      const uint32_t raw = LoadLe32(&blocks[p]);
      const uint32_t stored = LoadLe32(&blocks[p + 4]);
      if (i == 3) matches = raw;
      s.framing += 8;
      s.streams[i] += stored;
      p += 8 + stored;
    }
    const uint64_t bits = uint64_t{matches} * (kWidth - 8);
    const uint64_t table = 2 * std::max<uint64_t>(1, (bits + 15) / 16);
    s.low += table;
    p += table;
  }
  return s;
}

struct Item {
  uint32_t length;  // 0: literal
  uint32_t distance;
};

// Per-block prices in 1/64 bit from the byte counts of each stream.
struct BlockPrices {
  std::array<uint32_t, 256> stream[4];  // literals, lengths, high, middle
  uint32_t literalFlag, matchFlag;
};

uint32_t Cost(double count, double total) {
  return static_cast<uint32_t>(std::log2(total / count) * 64 + 0.5);
}

BlockPrices PricesFrom(const std::array<uint32_t, 256> (&counts)[4], uint32_t literals,
                       uint32_t matches) {
  BlockPrices b;
  for (int s = 0; s < 4; ++s) {
    double total = 0;
    for (uint32_t c : counts[s]) total += c + 0.5;
    for (int v = 0; v < 256; ++v) b.stream[s][v] = Cost(counts[s][v] + 0.5, total);
  }
  b.literalFlag = Cost(literals + 0.5, literals + matches + 1.0);
  b.matchFlag = Cost(matches + 0.5, literals + matches + 1.0);
  return b;
}

// Cuts items into blocks as the packer does (no stream above the longest
// stored stream), writes them, and gathers each block's counts for the next
// pass's prices; blockStart[b] is the first position of block b.
Bytes WriteItems(const Bytes& data, const std::vector<Item>& items,
                 std::vector<BlockPrices>& prices, std::vector<size_t>& blockStart) {
  Bytes out;
  prices.clear();
  blockStart.clear();
  packer::BlockStreams s;
  std::array<uint32_t, 256> counts[4] = {};
  uint32_t literals = 0, matches = 0, n = 0;
  size_t pos = 0;
  auto flush = [&](bool last) {
    s.itemsInLastFlagByte = n % 8;
    if (!packer::WriteBlock(s, kWidth, last ? packer::BlockPlace::kLast : packer::BlockPlace::kMore, out)) {
      fprintf(stderr, "parse_bound: a block was refused\n");
      exit(1);
    }
    prices.push_back(PricesFrom(counts, literals, matches));
    s = packer::BlockStreams();
    for (auto& c : counts) c.fill(0);
    literals = matches = n = 0;
  };
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& it = items[i];
    if (n == 0) blockStart.push_back(pos);
    if (n % 8 == 0) s.flags.push_back(0);
    if (it.length == 0) {
      s.flags.back() = static_cast<uint8_t>(s.flags.back() | (1u << (n % 8)));
      s.literals.push_back(data[pos]);
      ++counts[0][data[pos]];
      ++literals;
    } else {
      const uint32_t code = it.length - kMinMatch, d = it.distance - 1;
      s.lengths.push_back(static_cast<uint8_t>(std::min<uint32_t>(code, kLengthEscape)));
      ++counts[1][std::min<uint32_t>(code, kLengthEscape)];
      if (code >= kLengthEscape) {
        s.lengths.push_back(static_cast<uint8_t>(code & 0xFF));
        s.lengths.push_back(static_cast<uint8_t>(code >> 8));
      }
      s.high.push_back(static_cast<uint8_t>(d >> kWidth));
      s.middle.push_back(static_cast<uint8_t>(d >> (kWidth - 8)));
      s.low.push_back(static_cast<uint16_t>(d & 0x7F));
      ++counts[2][s.high.back()];
      ++counts[3][s.middle.back()];
      ++matches;
    }
    ++n;
    pos += it.length == 0 ? 1 : it.length;
    const bool full = s.flags.size() + 1 > kMaxStoredLength || s.literals.size() + 1 > kMaxStoredLength ||
                      s.lengths.size() + 3 > kMaxStoredLength || s.high.size() + 1 > kMaxStoredLength;
    if (full || i + 1 == items.size()) flush(i + 1 == items.size());
  }
  return out;
}

// The cheapest way through the whole sample under the given block prices.
// Sources of every position: found[start[i] .. start[i + 1]).
struct Sources {
  std::vector<Match> found;
  std::vector<size_t> start;
};

// Every earlier position with the same first four bytes, up to kChainDepth
// of them, with its match length (at most kNice): the sources that the tree
// leaves out because a closer one is as long.
constexpr uint32_t kChainDepth = 1024;
class AllSources {
 public:
  explicit AllSources(const Bytes& data) : data_(data), head_(1u << 22, UINT32_MAX), prev_(data.size()) {}
  // Sources of position i, sorted by length; positions must come in order.
  void At(size_t i, std::vector<Match>& out) {
    out.clear();
    if (i + kMinMatch > data_.size()) return;
    const uint32_t h = Hash(i);
    const size_t limit = std::min<size_t>(kNice, data_.size() - i);
    uint32_t c = head_[h];
    for (uint32_t tries = 0; c != UINT32_MAX && tries < kChainDepth; ++tries, c = prev_[c]) {
      size_t n = 0;
      while (n < limit && data_[c + n] == data_[i + n]) ++n;
      if (n >= kMinMatch) out.push_back(Match{static_cast<uint32_t>(n), static_cast<uint32_t>(i - c)});
    }
    prev_[i] = head_[h];
    head_[h] = static_cast<uint32_t>(i);
    std::stable_sort(out.begin(), out.end(), [](const Match& a, const Match& b) { return a.length < b.length; });
  }

 private:
  uint32_t Hash(size_t i) const {
    const uint32_t v = data_[i] | data_[i + 1] << 8 | data_[i + 2] << 16 | static_cast<uint32_t>(data_[i + 3]) << 24;
    return (v * 2654435761u) >> 10;
  }
  const Bytes& data_;
  std::vector<uint32_t> head_, prev_;
};

template <typename SourcesAt>
std::vector<Item> CheapestParse(const Bytes& data, SourcesAt sourcesAt,
                                const std::vector<BlockPrices>& prices,
                                const std::vector<size_t>& blockStart) {
  const size_t n = data.size();
  std::vector<uint64_t> price(n + 1, UINT64_MAX);
  std::vector<Item> way(n + 1, Item{0, 0});
  std::vector<uint32_t> best;  // cheapest distance price among sources at least this long
  std::vector<uint32_t> from;  // and its distance
  price[0] = 0;
  size_t block = 0;
  for (size_t i = 0; i < n; ++i) {
    while (block + 1 < blockStart.size() && blockStart[block + 1] <= i) ++block;
    const BlockPrices& b = prices[block];
    const uint64_t here = price[i];
    if (here + b.literalFlag + b.stream[0][data[i]] < price[i + 1]) {
      price[i + 1] = here + b.literalFlag + b.stream[0][data[i]];
      way[i + 1] = Item{0, 0};
    }
    size_t count = 0;
    const Match* f = sourcesAt(i, &count);
    if (count == 0) continue;
    // Suffix minimum of the distance prices: any source at least as long may serve.
    best.assign(count, 0);
    from.assign(count, 0);
    for (size_t k = count; k-- > 0;) {
      const uint32_t d = f[k].distance - 1;
      const uint32_t p = b.matchFlag + (kWidth - 8) * 64 + b.stream[2][d >> kWidth] +
                         b.stream[3][(d >> (kWidth - 8)) & 0xFF];
      best[k] = p;
      from[k] = f[k].distance;
      if (k + 1 < count && best[k + 1] < p) {
        best[k] = best[k + 1];
        from[k] = from[k + 1];
      }
    }
    auto relax = [&](uint32_t length, size_t k) {
      const uint32_t code = length - kMinMatch;
      const uint32_t lp = code < kLengthEscape ? b.stream[1][code] : b.stream[1][kLengthEscape] + 16 * 64;
      const uint64_t total = here + best[k] + lp;
      if (total < price[i + length]) {
        price[i + length] = total;
        way[i + length] = Item{length, from[k]};
      }
    };
    uint32_t length = kMinMatch;
    for (size_t k = 0; k < count; ++k) {
      const uint32_t top = std::min(f[k].length, kNice);
      for (; length <= top; ++length) relax(length, k);
      if (f[k].length > kNice) relax(f[k].length, k);
    }
  }
  std::vector<Item> items;
  for (size_t k = n; k > 0; k -= way[k].length == 0 ? 1 : way[k].length) items.push_back(way[k]);
  std::reverse(items.begin(), items.end());
  return items;
}

uint64_t XzSize(const Bytes& data) {
  const std::string tmp = "/tmp/parse_bound." + std::to_string(getpid());
  FILE* f = fopen(tmp.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
  FILE* p = popen(("xz -6 -T1 -c '" + tmp + "' | wc -c").c_str(), "r");
  unsigned long long size = 0;
  if (p == nullptr || fscanf(p, "%llu", &size) != 1) size = 0;
  if (p != nullptr) pclose(p);
  remove(tmp.c_str());
  return size;
}

void PrintRow(const char* name, const Sizes& s, uint64_t xz) {
  printf("%-12s %9llu %9llu %9llu %9llu %9llu %9llu %9llu %10llu %7.3f\n", name,
         static_cast<unsigned long long>(s.streams[0]), static_cast<unsigned long long>(s.streams[1]),
         static_cast<unsigned long long>(s.streams[2]), static_cast<unsigned long long>(s.streams[3]),
         static_cast<unsigned long long>(s.streams[4]), static_cast<unsigned long long>(s.low),
         static_cast<unsigned long long>(s.framing), static_cast<unsigned long long>(s.Total()),
         xz > 0 ? static_cast<double>(s.Total()) / static_cast<double>(xz) : 0.0);
}

// The rows of one sample, in order: packer-9, exhaustive-1..kPasses, all-sources.
std::vector<Sizes> MeasureSample(const Bytes& data) {
  std::vector<Sizes> rows;
  rows.push_back(CountBlocks(packer::WriteDataBlocks(data, 8, 9, 1)));

  // Every source of every position, as far as the search follows them.
  Sources sources;
  sources.start.push_back(0);
  const packer::DataSource source = [&data](uint8_t* into, size_t size) {
    std::memcpy(into, data.data(), size);
    return size;
  };
  packer::Window window(source, data.size(), kWindow, data.size());
  window.Need(0);  // the whole sample, in one read
  packer::TreeMatchFinder finder(window, kWindow, kSearchNice, 1u << 14);
  std::vector<Match> here;
  for (size_t i = 0; i < data.size(); ++i) {
    finder.Search(i, here);
    sources.found.insert(sources.found.end(), here.begin(), here.end());
    sources.start.push_back(sources.found.size());
  }

  // Pass 1 prices: 8 bits a literal or byte, 1 bit a flag, one block.
  std::vector<BlockPrices> prices(1);
  std::vector<size_t> blockStart{0};
  for (auto& s : prices[0].stream) s.fill(8 * 64);
  prices[0].literalFlag = prices[0].matchFlag = 64;
  for (int pass = 1; pass <= kPasses; ++pass) {
    const std::vector<Item> items = CheapestParse(
        data,
        [&](size_t i, size_t* count) {
          *count = sources.start[i + 1] - sources.start[i];
          return sources.found.data() + sources.start[i];
        },
        prices, blockStart);
    rows.push_back(CountBlocks(WriteItems(data, items, prices, blockStart)));
  }
  // One more pass on the last prices, with every source of every length.
  AllSources all(data);
  std::vector<Match> list;
  const std::vector<Item> items = CheapestParse(
      data,
      [&](size_t i, size_t* count) {
        all.At(i, list);
        *count = list.size();
        return list.data();
      },
      prices, blockStart);
  rows.push_back(CountBlocks(WriteItems(data, items, prices, blockStart)));
  return rows;
}

void PrintTable(const std::vector<Sizes>& rows, uint64_t xz) {
  printf("%-12s %9s %9s %9s %9s %9s %9s %9s %10s %7s\n", "parse", "flags", "literals", "lengths",
         "dist_high", "dist_mid", "dist_low", "framing", "total", "/xz");
  for (size_t r = 0; r < rows.size(); ++r) {
    const std::string name = r == 0 ? "packer-9"
                             : r + 1 == rows.size() ? "all-sources"
                                                    : "exhaustive-" + std::to_string(r);
    PrintRow(name.c_str(), rows[r], xz);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: parse_bound FILE [OFFSET [LENGTH [COUNT]]]\n");
    return 2;
  }
  const long long offset = argc > 2 ? atoll(argv[2]) : 0;
  const long long length = argc > 3 ? atoll(argv[3]) : 4 << 20;
  const long long count = argc > 4 ? atoll(argv[4]) : 1;
  FILE* f = fopen(argv[1], "rb");
  if (f == nullptr || offset < 0 || length <= 0 || count <= 0 || fseeko(f, offset, SEEK_SET) != 0) {
    fprintf(stderr, "parse_bound: cannot read '%s' at %lld\n", argv[1], offset);
    return 1;
  }
  std::vector<Sizes> sum;
  uint64_t xzSum = 0;
  long long done = 0;
  for (; done < count; ++done) {
    Bytes data(static_cast<size_t>(length));
    data.resize(fread(data.data(), 1, data.size(), f));
    if (data.empty()) break;
    const uint64_t xz = XzSize(data);
    printf("sample: %zu bytes of %s from %lld; xz -6: %llu bytes\n", data.size(), argv[1],
           offset + done * length, static_cast<unsigned long long>(xz));
    const std::vector<Sizes> rows = MeasureSample(data);
    PrintTable(rows, xz);
    fflush(stdout);
    sum.resize(rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
      for (int i = 0; i < 5; ++i) sum[r].streams[i] += rows[r].streams[i];
      sum[r].low += rows[r].low;
      sum[r].framing += rows[r].framing;
    }
    xzSum += xz;
  }
  fclose(f);
  if (done == 0) {
    fprintf(stderr, "parse_bound: nothing to read\n");
    return 1;
  }
  if (done > 1) {
    printf("all %lld samples; xz -6: %llu bytes\n", done, static_cast<unsigned long long>(xzSum));
    PrintTable(sum, xzSum);
  }
  return 0;
}
