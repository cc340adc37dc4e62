#include "packer/match_finder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace packer {
namespace {

constexpr uint32_t kEmpty = UINT32_MAX;
constexpr uint32_t kMinLength = 4;  // the shortest match the blocks can carry

// Hash heads: about one per four window positions, 2^16 to 2^22.
uint32_t HashBitsFor(uint32_t window) {
  uint32_t bits = 16;
  while (bits < 22 && (1u << (bits + 2)) < window) ++bits;
  return bits;
}


}  // namespace

TreeMatchFinder::TreeMatchFinder(const Window& data, uint32_t window, uint32_t nice,
                                 uint32_t depth)
    : data_(data), size_(data.total()), window_(window), nice_(std::max(nice, kMinLength)),
      depth_(depth), hashBits_(HashBitsFor(window)) {
  const size_t size = size_;
  if (size >= kEmpty) throw std::invalid_argument("the tree match finder takes less than 4 GiB");
  // No more pairs than the data has positions.
  cyclic_ = static_cast<uint32_t>(std::min<size_t>(size_t{window} + 1, std::max<size_t>(size, 1)));
  head_.assign(size_t{1} << hashBits_, kEmpty);
  links_.assign(size_t{2} * cyclic_, kEmpty);
}

void TreeMatchFinder::Search(size_t pos, std::vector<Match>& found) {
  found.clear();
  Walk<true>(pos, &found);
}

void TreeMatchFinder::Skip(size_t pos) { Walk<false>(pos, nullptr); }

void TreeMatchFinder::Pass(size_t) {
  links_[2 * size_t{slot_}] = links_[2 * size_t{slot_} + 1] = kEmpty;
  slot_ = slot_ + 1 == cyclic_ ? 0 : slot_ + 1;
}

// The tree of a hash holds its positions newest on top, each subtree older
// than its root, so a walk meets sources in order of growing distance.
// `smaller` and `greater` are the links still to be set of the new root's
// two subtrees; `smallerLength` and `greaterLength` the bytes that every
// string in them shares with the new one, where a comparison can start.
template <bool kCollect>
void TreeMatchFinder::Walk(size_t pos, std::vector<Match>* found) {
  const uint32_t slot = slot_;
  slot_ = slot_ + 1 == cyclic_ ? 0 : slot_ + 1;
  uint32_t* smaller = &links_[2 * size_t{slot}];
  uint32_t* greater = smaller + 1;
  const size_t left = size_ - pos;
  if (left < kMinLength) {
    *smaller = *greater = kEmpty;
    return;
  }
  const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(nice_, left));
  const uint8_t* here = &data_[pos];
  uint32_t v;
  memcpy(&v, here, 4);
  const uint32_t h = (v * 2654435761u) >> (32 - hashBits_);
  uint32_t candidate = head_[h];
  head_[h] = static_cast<uint32_t>(pos);

  uint32_t smallerLength = 0, greaterLength = 0, best = kMinLength - 1;
  for (uint32_t tries = depth_;; --tries) {
    const size_t distance = pos - candidate;
    if (candidate == kEmpty || distance > window_ || tries == 0) {
      *smaller = *greater = kEmpty;
      return;
    }
    const size_t back = slot >= distance ? slot - distance : slot + cyclic_ - distance;
    uint32_t* pair = &links_[2 * back];
    const uint8_t* there = &data_[candidate];
    uint32_t length = std::min(smallerLength, greaterLength);
    if (there[length] == here[length]) length = MatchLength(there, here, length, limit);
    if (kCollect && length > best) {
      best = length;
      found->push_back(Match{length, static_cast<uint32_t>(distance)});
    }
    if (length == limit) {
      // Equal as far as the tree compares: the candidate's subtrees become ours.
      *smaller = pair[0];
      *greater = pair[1];
      return;
    }
    if (there[length] < here[length]) {
      *smaller = candidate;
      smaller = pair + 1;
      candidate = *smaller;
      smallerLength = length;
    } else {
      *greater = candidate;
      greater = pair;
      candidate = *greater;
      greaterLength = length;
    }
  }
}

MatchesAhead::MatchesAhead(Window& data, uint32_t window, uint32_t nice, uint32_t depth,
                           uint32_t maxLength)
    : data_(data), size_(data.total()), nice_(nice), maxLength_(maxLength),
      finder_(data, window, nice, depth) {
  thread_ = std::thread([this] { Produce(); });
}

MatchesAhead::~MatchesAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void MatchesAhead::Produce() {
  try {
    std::vector<Match> found;
    size_t pos = 0;
    while (pos < size_) {
      Chunk chunk;
      chunk.ends.reserve(kSteps);
      chunk.bytes.reserve(kSteps);
      // A chunk ends after kSteps steps or kMatches matches, whichever
      // comes first, so that the waiting chunks stay small on any data.
      while (pos < size_ && chunk.ends.size() < kSteps && chunk.matches.size() < kMatches) {
        const size_t at = pos;
        pos = SearchStep(finder_, data_, at, nice_, maxLength_, skipper_, found);
        chunk.bytes.push_back(data_[at]);  // still held: the step's Need kept it
        chunk.matches.insert(chunk.matches.end(), found.begin(), found.end());
        chunk.ends.push_back(static_cast<uint32_t>(chunk.matches.size()));
      }
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stop_ || ready_.size() < kAhead; });
      if (stop_) return;
      ready_.push_back(std::move(chunk));
      changed_.notify_all();
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

size_t MatchesAhead::Next(size_t pos, const Match** list, uint8_t* byte) {
  if (pos != expected_ || pos >= size_) throw std::logic_error("match steps asked out of order");
  if (step_ == current_.ends.size()) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
    if (ready_.empty()) {
      if (failed_) std::rethrow_exception(failed_);
      throw std::logic_error("match steps ran out");
    }
    current_ = std::move(ready_.front());
    ready_.pop_front();
    step_ = 0;
    changed_.notify_all();
  }
  const uint32_t begin = step_ == 0 ? 0 : current_.ends[step_ - 1];
  const size_t count = current_.ends[step_] - begin;
  *byte = current_.bytes[step_];
  ++step_;
  *list = current_.matches.data() + begin;
  expected_ = count > 0 && (*list)[count - 1].length >= nice_ ? pos + (*list)[count - 1].length : pos + 1;
  return count;
}

}  // namespace packer
