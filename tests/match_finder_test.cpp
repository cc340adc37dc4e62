// The tree match finder against a search of every distance (for each
// position, the closest source of every length that a closer one does not
// reach, within the window and up to the nice length), and the blocks of the
// tree levels with and without the search thread, in memory and streamed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "packer/match_finder.h"
#include "support/test_support.h"

namespace {

using packer::Match;

std::vector<Match> EveryDistance(const std::vector<uint8_t>& d, size_t pos, uint32_t window, uint32_t nice) {
  std::vector<Match> found;
  uint32_t best = 3;
  for (size_t back = 1; back <= std::min<size_t>(window, pos); ++back) {
    uint32_t n = 0;
    while (n < nice && pos + n < d.size() && d[pos - back + n] == d[pos + n]) ++n;
    if (n > best) found.push_back(Match{best = n, static_cast<uint32_t>(back)});
  }
  return found;
}

TEST(TreeMatchFinder, FindsTheClosestSourceOfEveryLength) {
  // Noise, text, a run longer than the nice length, short periods and a copy
  // beyond the window; windows smaller than the data so that links are reused.
  std::vector<uint8_t> periods;
  for (uint32_t i = 0; i < 6000; ++i) periods.push_back(static_cast<uint8_t>('a' + i % (1 + i / 500)));
  const std::vector<uint8_t> noise = RandomBytes(3000, 7);
  const struct {
    std::vector<uint8_t> data;
    uint32_t window, nice;
  } kCases[] = {
      {Join(noise, noise), 4096, 32},
      {TextLikeBytes(12000, 8), 1024, 24},
      {Join(std::vector<uint8_t>(700, 'z'), TextLikeBytes(3000, 9)), 512, 64},
      {periods, 2048, 40},
      {Join(Join(noise, RandomBytes(2000, 10)), noise), 2048, 32},
  };
  for (const auto& c : kCases) {
    const packer::DataSource source = [&c](uint8_t* into, size_t size) {
      std::memcpy(into, c.data.data(), size);
      return size;
    };
    packer::Window window(source, c.data.size(), c.window, c.data.size());
    window.Need(0);  // the whole of it, in one read
    packer::TreeMatchFinder finder(window, c.window, c.nice, UINT32_MAX);
    std::vector<Match> found;
    size_t wrong = 0;
    for (size_t pos = 0; pos < c.data.size(); ++pos) {
      finder.Search(pos, found);
      const std::vector<Match> expected = EveryDistance(c.data, pos, c.window, c.nice);
      bool same = found.size() == expected.size();
      for (size_t k = 0; same && k < found.size(); ++k)
        same = found[k].length == expected[k].length && found[k].distance == expected[k].distance;
      wrong += same ? 0 : 1;
    }
    EXPECT_EQ(wrong, 0u) << "window " << c.window << " nice " << c.nice;
  }
}

}  // namespace

TEST(TreeMatchFinder, BlocksAreTheSameWithTheSearchOnItsOwnThread) {
  // Long enough for many chunks of steps to pass between the threads, with
  // long matches that skip positions; profile 1 (w = 8) and 8 (w = 15).
  const std::vector<uint8_t> text = TextLikeBytes(400000, 11);
  const std::vector<uint8_t> data = Join(Join(text, RandomBytes(100000, 12)), text);
  for (int profile : {1, 8}) {
    for (int level : {7, 9}) {
      const std::vector<uint8_t> one = packer::WriteDataBlocks(data, profile, level, 1);
      EXPECT_TRUE(one == packer::WriteDataBlocks(data, profile, level, 2)) << profile << " " << level;
      // Streamed through the smallest buffer (it slides at profile 1), on one thread.
      size_t given = 0;
      std::vector<uint8_t> streamed;
      const packer::DataSource source = [&](uint8_t* into, size_t size) {
        size = std::min({size, data.size() - given, size_t{40000}});
        std::memcpy(into, data.data() + given, size);
        given += size;
        return size;
      };
      const packer::BlockSink sink = [&](const std::vector<uint8_t>& b) { streamed.insert(streamed.end(), b.begin(), b.end()); };
      packer::WriteDataBlocks(data.size(), source, profile, level, sink, nullptr, 0, 1);
      EXPECT_TRUE(one == streamed) << profile << " " << level;
      EXPECT_LT(one.size(), data.size() / 2);
    }
  }
}
