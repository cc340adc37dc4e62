// The match coder's view of the stream: a sliding stretch of it in memory,
// indexed by absolute stream position.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "format/format.h"
#include "packer/packer.h"

namespace packer {

// The part of the stream in memory: positions [base, size()) in absolute
// stream positions, so that the finder and the parsers index it as if the
// whole stream were there. Need(pos) guarantees that every position from
// pos - window to pos + kLookahead (or the end of the stream) is present.
// What is read from one Need to the next stays in that range: sources up to
// a window back, and ahead a stretch of the priced parser and the longest
// match behind it, or a run of lazy steps (each match longer than the one
// before) and the longest match after it, or one search step of the tree
// finder (a match extended to the longest length, and the nice length
// compared behind each position it covers).
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

}  // namespace packer
