// The binary-tree match finder of the highest levels. Every position is kept
// in a binary search tree of the strings that start at the positions of the
// last window, ordered by their bytes; searching a position walks the tree
// from the newest position with the same four-byte hash and hangs the
// position in as the new root on the way. It finds, for every length, the
// closest source in far fewer steps than a hash chain.
//
// Memory: two 32-bit links per window position plus the hash heads, 8 x
// window + 4 x 2^hashBits bytes (80 MiB for an 8 MiB window).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "packer/window.h"

namespace packer {

// Extends a common prefix of `length` bytes up to `limit`, eight bytes at a
// time while eight remain.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t length, uint32_t limit) {
  while (length + 8 <= limit) {
    uint64_t x, y;
    memcpy(&x, a + length, 8);
    memcpy(&y, b + length, 8);
    if (x != y) {
      // The first differing byte is the lowest one in memory order.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      return length + static_cast<uint32_t>(__builtin_clzll(x ^ y) >> 3);
#else
      return length + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);
#endif
    }
    length += 8;
  }
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

struct Match {
  uint32_t length;
  uint32_t distance;  // bytes back to the source, 1..window
};

// Which positions are searched. Over data that does not repeat (packed or
// encrypted files) a search finds nothing position after position; after
// kMissesBeforeSkip such searches in a row, only anchors are searched, ever
// fewer: one position in 2 after 16 more misses, up to one in 32, and at
// least one in kLongestGap. The others are taken as literals, unsearched and
// unindexed, so that such data costs little more per byte than data that
// matches; the first match found brings back the search of every position.
// An anchor is a position whose four bytes have a second hash with its top
// bits 0: the choice depends on the bytes alone, so where such a stretch
// recurs, the same positions are picked in both copies, and the first of
// them in the second copy finds the first.
class SearchSkipper {
 public:
  // Whether `pos` is searched; data must hold it (and the 3 bytes after it
  // where the data has them).
  bool Searches(const Window& data, size_t pos) {
    if (misses_ <= kMissesBeforeSkip) return true;
    const uint32_t bits = std::min((misses_ - kMissesBeforeSkip) >> 4, kSparsestAnchors);
    if (++gap_ < kLongestGap && bits > 0 && pos + 4 <= data.size()) {
      const uint32_t v = static_cast<uint32_t>(data[pos]) | static_cast<uint32_t>(data[pos + 1]) << 8 |
                         static_cast<uint32_t>(data[pos + 2]) << 16 | static_cast<uint32_t>(data[pos + 3]) << 24;
      if ((v * 0x85EBCA6Bu) >> (32 - bits) != 0) return false;
    }
    gap_ = 0;
    return true;
  }
  // What the search of a position found.
  void Found(bool anything) {
    misses_ = anything ? 0 : misses_ + 1;
    if (anything) gap_ = 0;
  }

 private:
  static constexpr uint32_t kMissesBeforeSkip = 64;
  static constexpr uint32_t kSparsestAnchors = 5;
  static constexpr uint32_t kLongestGap = 256;
  uint32_t misses_ = 0;
  uint32_t gap_ = 0;
};

class TreeMatchFinder {
 public:
  // Reads the stream through `data` (below 4 GiB: positions are kept in 32
  // bits), which must hold [pos - window, pos + kLookahead) while `pos` is
  // searched (see SearchStep); sources lie at most `window` bytes back;
  // searches stop at `nice` bytes and after `depth` tree nodes.
  TreeMatchFinder(const Window& data, uint32_t window, uint32_t nice, uint32_t depth);

  // Puts into `found` every match for `pos` longer than all closer ones, in
  // order of growing length (each the closest source of its length), at
  // most `nice` bytes long, and inserts `pos`. Positions must be given in
  // order, each exactly once, through Search or Skip.
  void Search(size_t pos, std::vector<Match>& found);
  // Inserts `pos` without collecting matches.
  void Skip(size_t pos);
  // Passes `pos` by: it is never found as a source.
  void Pass(size_t pos);

 private:
  template <bool kCollect>
  void Walk(size_t pos, std::vector<Match>* found);

  const Window& data_;
  size_t size_;
  uint32_t window_;
  uint32_t nice_;
  uint32_t depth_;
  uint32_t hashBits_;
  uint32_t cyclic_;   // link pairs kept: window + 1
  uint32_t slot_ = 0; // pair of the position being inserted: pos % cyclic_
  std::vector<uint32_t> head_;
  std::vector<uint32_t> links_;  // 2 per slot: smaller, greater subtree
};

// One step of the priced parse's search, the same for every finder: brings
// what the step reads into `data` and searches `pos` (or passes it by, as
// `skipper` says); when the longest match reaches `nice` bytes it is
// extended as far as the bytes repeat (at most `maxLength`, and the data's
// end), the positions it covers are inserted unsearched, and the parser
// takes it as it stands. Returns the position of the next step.
template <typename Finder>
size_t SearchStep(Finder& finder, Window& data, size_t pos, uint32_t nice, uint32_t maxLength,
                  SearchSkipper& skipper, std::vector<Match>& found) {
  // A step reads up to maxLength + nice bytes ahead: kLookahead covers that.
  static_assert(kMinMatch + 0xFFFF + 256 <= kLookahead, "a search step reaches past the lookahead");
  data.Need(pos);
  if (!skipper.Searches(data, pos)) {
    finder.Pass(pos);
    found.clear();
    return pos + 1;
  }
  finder.Search(pos, found);
  skipper.Found(!found.empty());
  if (found.empty() || found.back().length < nice) return pos + 1;
  Match& longest = found.back();
  const size_t limit = std::min<size_t>(maxLength, data.total() - pos);
  const uint8_t* here = &data[pos];
  size_t length = longest.length;
  while (length < limit && here[length - longest.distance] == here[length]) ++length;
  longest.length = static_cast<uint32_t>(length);
  for (size_t q = pos + 1; q < pos + length; ++q) finder.Skip(q);
  return pos + length;
}

// The tree finder's steps for the whole data, worked out ahead of the parser
// on a thread of its own, a chunk of steps at a time (at most kAhead chunks
// waiting, each under 1.3 MiB). The parser gets the same lists in the same order as from
// SearchStep, so the archive does not depend on whether this thread is used.
// The thread alone reads `data` (and so the data source behind it): each
// step carries the byte at its position, the only byte the parser needs.
class MatchesAhead {
 public:
  MatchesAhead(Window& data, uint32_t window, uint32_t nice, uint32_t depth, uint32_t maxLength);
  ~MatchesAhead();
  // The matches of the step at `pos` (which must be where the last step
  // left off); returns their count, points `list` at them and sets `byte`
  // to the stream's byte at `pos`.
  size_t Next(size_t pos, const Match** list, uint8_t* byte);

 private:
  struct Chunk {
    std::vector<Match> matches;
    std::vector<uint32_t> ends;  // step k: matches [ends[k - 1], ends[k])
    std::vector<uint8_t> bytes;  // step k: the byte at its position
  };
  static constexpr size_t kSteps = 32768;
  static constexpr size_t kMatches = 4 * kSteps;
  static constexpr size_t kAhead = 4;

  void Produce();

  Window& data_;
  size_t size_;
  uint32_t nice_, maxLength_;
  TreeMatchFinder finder_;
  SearchSkipper skipper_;  // the thread's alone
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> ready_;
  bool finished_ = false;  // every step is in ready_ (or failed_ is set)
  bool stop_ = false;      // the parser gave up: the thread ends early
  std::exception_ptr failed_;
  Chunk current_;
  size_t step_ = 0;        // next step of current_
  size_t expected_ = 0;    // position the next step must be at
  std::thread thread_;
};

}  // namespace packer
