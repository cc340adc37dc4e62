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

#include <cstddef>
#include <cstdint>
#include <vector>

namespace packer {

struct Match {
  uint32_t length;
  uint32_t distance;  // bytes back to the source, 1..window
};

class TreeMatchFinder {
 public:
  // `data` holds `size` bytes and stays in place while the finder is used;
  // sources lie at most `window` bytes back; searches stop at `nice` bytes
  // and after `depth` tree nodes.
  TreeMatchFinder(const uint8_t* data, size_t size, uint32_t window, uint32_t nice,
                  uint32_t depth);

  // Puts into `found` every match for `pos` longer than all closer ones, in
  // order of growing length (each the closest source of its length), at
  // most `nice` bytes long, and inserts `pos`. Positions must be given in
  // order, each exactly once, through Search or Skip.
  void Search(size_t pos, std::vector<Match>& found);
  // Inserts `pos` without collecting matches.
  void Skip(size_t pos);

 private:
  template <bool kCollect>
  void Walk(size_t pos, std::vector<Match>* found);

  const uint8_t* data_;
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

}  // namespace packer
