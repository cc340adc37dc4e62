// The fast model decoder against the step-by-step reference decoder
// (bench/reference_decoder.cpp): same bytes on encoder output, on damaged
// streams and on arbitrary bytes, including counts that run far past the
// stored bytes and stored lengths beyond the input buffer; and several streams
// decoded together (interleaved) against each decoded alone.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>

#include "bench/reference_decoder.h"
#include "format/format.h"
#include "engine/engine.h"
#include "packer/packer.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

// Decodes with both decoders into buffers with a guard area behind the
// decoded count, and checks that they agree and that neither writes past it.
void ExpectSameDecoding(uint32_t count, const Bytes& stored) {
  constexpr size_t kGuard = 64;
  Bytes fast(size_t{count} + kGuard, 0xA5), reference(size_t{count} + kGuard, 0xA5);
  uint32_t fastLength = static_cast<uint32_t>(stored.size());
  uint32_t referenceLength = fastLength;
  DecodeStream(TestDecoder(), count, stored.data(), &fastLength, fast.data());
  ReferenceDecodeStream(count, stored.data(), &referenceLength, reference.data());
  ASSERT_EQ(fastLength, referenceLength);
  ASSERT_EQ(fast, reference) << "count " << count << ", " << stored.size() << " stored bytes";
  for (size_t i = fastLength; i < fast.size(); ++i) ASSERT_EQ(fast[i], 0xA5) << i;
}

TEST(DecoderEquivalence, EncoderOutputIntactAndDamaged) {
  std::mt19937 rng(7);
  const size_t sizes[] = {1, 100, 5000, 40000, 65536};
  for (size_t n : sizes) {
    for (int kind = 0; kind < 2; ++kind) {
      const Bytes data = kind == 0 ? TextLikeBytes(n, static_cast<uint32_t>(n))
                                   : RandomBytes(n, static_cast<uint32_t>(n));
      Bytes coded = packer::EncodeStream(data.data(), data.size());
      const uint32_t count = static_cast<uint32_t>(n);
      ExpectSameDecoding(count, coded);
      for (int round = 0; round < 4; ++round) {  // damage a few bytes, or cut the stream
        Bytes damaged = coded;
        for (int k = 0; k < 3; ++k) damaged[rng() % damaged.size()] = static_cast<uint8_t>(rng());
        ExpectSameDecoding(count, damaged);
        damaged.resize(rng() % damaged.size());
        ExpectSameDecoding(count, damaged);
      }
    }
  }
}

TEST(DecoderEquivalence, ArbitraryBytes) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    // Mostly short inputs decoded to long outputs, so that the zero bits past
    // the end, the clamp of damaged codes and the unused classes all occur.
    const size_t storedSize = round % 10 == 0 ? rng() % 70000 : rng() % 64;
    Bytes stored = RandomBytes(storedSize, static_cast<uint32_t>(round));
    if (round % 3 == 0) {
      for (auto& b : stored) b = (b & 1) ? 0xFF : b;  // runs of one bits push the code high
    }
    const uint32_t count = round % 7 == 0 ? kStreamBufferSize : rng() % 4000;
    ExpectSameDecoding(count, stored);
  }
  ExpectSameDecoding(0, Bytes{});
  ExpectSameDecoding(kStreamBufferSize, Bytes(kStreamBufferSize + 10, 0xFF));
}

TEST(DecoderEquivalence, InterleavedStreamsMatchEachAlone) {
  std::mt19937 rng(13);
  for (int round = 0; round < 40; ++round) {
    // Streams of very different lengths, so that lanes finish at different
    // times and take the next stream; empty, cut and damaged streams among them.
    const uint32_t jobCount = 1 + rng() % 7;
    std::vector<Bytes> stored(jobCount), out(jobCount), reference(jobCount);
    std::vector<StreamJob> jobs(jobCount);
    for (uint32_t j = 0; j < jobCount; ++j) {
      const uint32_t count = rng() % 5 == 0 ? 0 : rng() % (j % 2 ? 60000 : 3000);
      const Bytes data = TextLikeBytes(count, round * 10 + j);
      stored[j] = packer::EncodeStream(data.data(), data.size());
      if (rng() % 3 == 0) stored[j].resize(rng() % (stored[j].size() + 1));
      if (rng() % 3 == 0 && !stored[j].empty()) stored[j][rng() % stored[j].size()] ^= 0x10;
      const uint32_t length = static_cast<uint32_t>(stored[j].size());
      reference[j].resize(count);
      uint32_t referenceLength = length;
      ReferenceDecodeStream(count, stored[j].data(), &referenceLength, reference[j].data());
      stored[j].resize(length + kStreamPadding, 0);  // the zero bytes the decoder may load
      out[j].assign(count + 64, 0xA5);
      jobs[j] = StreamJob{stored[j].data(), length, count, out[j].data()};
    }
    DecodeStreams(TestDecoder(), jobs.data(), jobCount);
    for (uint32_t j = 0; j < jobCount; ++j) {
      const uint32_t count = jobs[j].decodedCount;
      ASSERT_TRUE(std::equal(reference[j].begin(), reference[j].end(), out[j].begin()))
          << "round " << round << ", stream " << j;
      for (size_t i = count; i < out[j].size(); ++i) ASSERT_EQ(out[j][i], 0xA5) << j;
    }
  }
}

TEST(DecoderEquivalence, TwoDecodersSideBySide) {
  // Two threads decode at once, each with its own state: a state they shared
  // would mix their models and change the bytes.
  constexpr uint32_t kSize = 30000;
  std::vector<Bytes> data, coded;
  for (uint32_t i = 0; i < 8; ++i) {
    data.push_back(i % 2 ? RandomBytes(kSize, i) : TextLikeBytes(kSize, i));
    coded.push_back(packer::EncodeStream(data[i].data(), kSize));
  }
  auto decodeHalf = [&](uint32_t first, int* mismatches) {
    ModelDecoder* decoder = NewModelDecoder();
    Bytes out(kSize);
    for (int round = 0; round < 20; ++round) {
      for (uint32_t i = first; i < coded.size(); i += 2) {
        uint32_t length = static_cast<uint32_t>(coded[i].size());
        DecodeStream(decoder, kSize, coded[i].data(), &length, out.data());
        *mismatches += out != data[i];
      }
    }
    FreeModelDecoder(decoder);
  };
  int mismatches[2] = {0, 0};
  std::thread other(decodeHalf, 1, &mismatches[1]);
  decodeHalf(0, &mismatches[0]);
  other.join();
  EXPECT_EQ(mismatches[0], 0);
  EXPECT_EQ(mismatches[1], 0);
}

}  // namespace
