// The adaptive model coder: fixed streams, and the encoder against the decoder
// on many kinds and sizes of data.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "format/format.h"
#include "engine/engine.h"
#include "packer/packer.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

// Decodes `count` bytes from `stored` (all of it offered to the decoder).
Bytes Decode(uint32_t count, const Bytes& stored) {
  static uint8_t out[kStreamBufferSize];
  uint32_t length = static_cast<uint32_t>(stored.size());
  DecodeStream(TestDecoder(), count, stored.data(), &length, out);
  return Bytes(out, out + length);
}

TEST(ModelCoder, FixedStreams) {
  const struct { Bytes stored; uint32_t count; Bytes expected; } cases[] = {
      {{0x40, 0x5E, 0xD8, 0xC0, 0x00, 0x00, 0x00}, 3, {'a', 'b', 'c'}},
      {{0xC0, 0x5E, 0xD8, 0xC0, 0x00, 0x00, 0x00}, 3, {'a', 'b', 'c'}},  // top bit unread
      {{0x00, 0x00, 0x00, 0x00, 0x00}, 3, {0, 0, 0}},
      {{0x67, 0xC0, 0x00, 0x00, 0x00}, 1, {0xFF}},
      {{0x12, 0x34}, 0, {}},
      // Fresh class model: r = 2^25 / 192 = 174,762, so class 1 (value 0) ends
      // below code 12 * r = 2,097,144 (25 bits from bit 6 of byte 0).
      {{0x07, 0xFF, 0xFD, 0xC0}, 1, {0}},  // code 2,097,143
      {{0x07, 0xFF, 0xFE, 0x00}, 1, {1}},  // code 2,097,144: class 2
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.count, c.stored), c.expected);
  // The encoder gives the first stream; 255 is coded through class 14, which
  // needs no offset bits (through class 13 it alone would take over 9 bits).
  EXPECT_EQ(packer::EncodeStream(cases[0].expected.data(), 3), cases[0].stored);
  EXPECT_EQ(packer::EncodeStream(cases[3].expected.data(), 1).size(), 4u);
}

TEST(ModelCoder, StreamsThatRunOutOrOverflowStayInBounds) {
  // Decoding far more values than the stored bytes hold reads zero bits past
  // the end instead of whatever follows in memory.
  Bytes padded = {0x5A, 0x13};
  padded.resize(kStreamBufferSize, 0);
  EXPECT_EQ(Decode(kStreamBufferSize, {0x5A, 0x13}), Decode(kStreamBufferSize, padded));
  EXPECT_EQ(Decode(kStreamBufferSize, padded).size(), kStreamBufferSize);
  // More than a stream buffer holds is refused with nothing produced.
  uint8_t guard[4] = {1, 2, 3, 4};
  uint32_t length = 2;
  DecodeStream(TestDecoder(), kStreamBufferSize + 1, padded.data(), &length, guard);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(guard[0], 1);
}

// Data of several kinds, deterministic per seed.
Bytes MakeData(int kind, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes d(n);
  switch (kind) {
    case 0: return RandomBytes(n, seed);
    case 1: return TextLikeBytes(n, seed);
    case 2:  // skewed: mostly a few values, including both overlapping ranges
      for (auto& b : d) {
        const uint32_t r = rng() % 100;
        b = r < 40 ? 70 : r < 60 ? 255 : r < 75 ? 0 : static_cast<uint8_t>(rng());
      }
      return d;
    default:  // long runs
      for (size_t i = 0; i < n;) {
        const uint8_t v = static_cast<uint8_t>(rng());
        for (size_t run = 1 + rng() % 300; run > 0 && i < n; --run) d[i++] = v;
      }
      return d;
  }
}

TEST(ModelCoder, RoundTripsConsumeExactlyTheirBytes) {
  for (int kind = 0; kind < 4; ++kind) {
    for (size_t n : {0, 1, 2, 3, 7, 31, 255, 1000, 4096, 20000, 50000, 65535, 65536}) {
      SCOPED_TRACE("kind " + std::to_string(kind) + " size " + std::to_string(n));
      const Bytes data = MakeData(kind, n, static_cast<uint32_t>(n * 7 + kind));
      const Bytes coded = packer::EncodeStream(data.data(), data.size());
      ASSERT_GE(coded.size(), 4u);
      if (coded.size() > kMaxStoredLength) {
        EXPECT_EQ(kind, 0);  // only random data does not shrink enough
        continue;
      }
      // Offer poisoned bytes behind the stream: it must not need them.
      for (uint8_t poison : {0x00, 0xFF, 0xA5}) {
        Bytes offered = coded;
        offered.resize(coded.size() + 16, poison);
        ASSERT_EQ(Decode(static_cast<uint32_t>(n), offered), data) << int(poison);
      }
      if (kind != 0 && n >= 1000) EXPECT_LT(coded.size(), n * 3 / 4);
    }
  }
}

}  // namespace
