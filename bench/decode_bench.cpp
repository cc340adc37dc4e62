// Throughput of the model decoder in decoded bytes per second on three kinds
// of data: the stub's DecodeStream beside the step-by-step reference decoder,
// and a CRC-32 pass over the same bytes as the floor. Each Decode run also
// times both decoders on its data and reports the reference's time over the
// fast one's as `speedup`.
// DecodeBlocks does the same for what the stub really decodes: the five
// streams of every data block that the packer writes for 6 MiB of data (text
// or binary), decoded together with DecodeStreams, against the reference
// decoder on each stream in turn.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "bench/reference_decoder.h"
#include "format/format.h"
#include "engine/engine.h"
#include "packer/packer.h"

namespace {

using packer::Bytes;

enum Kind { kText, kBinary, kRandom };

// Random bytes, sized so that their coded form still fits a stored stream.
Bytes RandomData() {
  std::mt19937 rng(3);
  Bytes d(49152);
  for (auto& b : d) b = static_cast<uint8_t>(rng());
  return d;
}

Bytes Data(Kind kind) {
  switch (kind) {
    case kText: return bench::TextData(kStreamBufferSize);
    case kBinary: return bench::BinaryData(kStreamBufferSize, false);
    default: return RandomData();
  }
}

using DecodeFunction = void (*)(uint32_t, const uint8_t*, uint32_t*, uint8_t*);

// Shortest of several timed decodings of the whole stream, in seconds.
// The stub's decoder through one state, in the reference decoder's shape.
ModelDecoder* BenchDecoder() {
  static ModelDecoder* decoder = NewModelDecoder();
  return decoder;
}
void FastDecodeStream(uint32_t count, const uint8_t* stored, uint32_t* length, uint8_t* out) {
  DecodeStream(BenchDecoder(), count, stored, length, out);
}

double BestTime(DecodeFunction decode, const Bytes& coded, uint32_t count, uint8_t* out) {
  double best = 1e30;
  for (int i = 0; i < 15; ++i) {
    const auto start = std::chrono::steady_clock::now();
    uint32_t length = static_cast<uint32_t>(coded.size());
    decode(count, coded.data(), &length, out);
    benchmark::DoNotOptimize(out);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

void RunDecode(benchmark::State& state, DecodeFunction decode, bool compare) {
  const Bytes data = Data(static_cast<Kind>(state.range(0)));
  const Bytes coded = packer::EncodeStream(data.data(), data.size());
  if (coded.size() > kMaxStoredLength) {
    state.SkipWithError("coded stream longer than a block allows");
    return;
  }
  const uint32_t count = static_cast<uint32_t>(data.size());
  Bytes out(kStreamBufferSize);
  for (auto _ : state) {
    uint32_t length = static_cast<uint32_t>(coded.size());
    decode(count, coded.data(), &length, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  if (!std::equal(data.begin(), data.end(), out.begin())) state.SkipWithError("decoded bytes differ");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
  state.counters["ratio"] = static_cast<double>(coded.size()) / static_cast<double>(data.size());
  if (compare) {
    const double reference = BestTime(ReferenceDecodeStream, coded, count, out.data());
    const double fast = BestTime(FastDecodeStream, coded, count, out.data());
    state.counters["speedup"] = reference / fast;
  }
}

void Decode(benchmark::State& state) { RunDecode(state, FastDecodeStream, true); }
void ReferenceDecode(benchmark::State& state) { RunDecode(state, ReferenceDecodeStream, false); }

void Crc(benchmark::State& state) {
  const Bytes data = Data(static_cast<Kind>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(Crc32Of(data.data(), static_cast<uint32_t>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

// The model-coded streams of data blocks as StreamJobs, each stored copy
// followed by the zero padding that DecodeStreams may load.
struct BlockStreams {
  std::vector<Bytes> stored;
  std::vector<uint32_t> counts;
  std::vector<uint32_t> perBlock;  // streams in each block
  uint64_t decodedBytes = 0;
};

// Walks the blocks as the block reader does (profile 6: w = 13, a low-bit table
// of 5 bits per match behind the five stream records).
BlockStreams SplitBlocks(const Bytes& blocks) {
  BlockStreams out;
  size_t at = 0;
  while (at + kBlockHeaderSize <= blocks.size()) {
    const uint8_t* header = blocks.data() + at;
    const int compressed[5] = {(header[0] >> 5) & 1, (header[0] >> 6) & 1, (header[0] >> 7) & 1,
                               header[1] & 1, (header[1] >> 1) & 1};
    at += kBlockHeaderSize;
    uint32_t streams = 0, matches = 0;
    for (int i = 0; i < 5; ++i) {
      const uint32_t count = LoadLe32(&blocks[at]), length = LoadLe32(&blocks[at + 4]);
      if (i == 3) matches = count;
      if (compressed[i]) {
        Bytes stored(blocks.begin() + at + 8, blocks.begin() + at + 8 + length);
        stored.resize(length + kStreamPadding, 0);
        out.stored.push_back(std::move(stored));
        out.counts.push_back(count);
        out.decodedBytes += count;
        ++streams;
      }
      at += 8 + length;
    }
    out.perBlock.push_back(streams);
    at += 2 * std::max<size_t>(1, (matches * 5 + 15) / 16);
    if ((header[0] & 0x1F) > 8) break;
  }
  return out;
}

void DecodeAll(const BlockStreams& b, std::vector<Bytes>* out, bool reference) {
  size_t k = 0;
  for (uint32_t n : b.perBlock) {
    StreamJob jobs[5];
    for (uint32_t i = 0; i < n; ++i, ++k) {
      const uint32_t length = static_cast<uint32_t>(b.stored[k].size() - kStreamPadding);
      jobs[i] = StreamJob{b.stored[k].data(), length, b.counts[k], (*out)[k].data()};
      if (reference) ReferenceDecodeStream(b.counts[k], b.stored[k].data(), &jobs[i].storedLength,
                                           (*out)[k].data());
    }
    if (!reference) DecodeStreams(BenchDecoder(), jobs, n);
  }
}

void DecodeBlocks(benchmark::State& state) {
  const Bytes data = state.range(0) == kText ? bench::TextData(6u << 20)
                                              : bench::BinaryData(6u << 20, true);
  const BlockStreams blocks = SplitBlocks(packer::WriteDataBlocks(data, 6, 6));
  std::vector<Bytes> fast(blocks.stored.size(), Bytes(kStreamBufferSize));
  std::vector<Bytes> reference = fast;
  for (auto _ : state) {
    DecodeAll(blocks, &fast, false);
    benchmark::DoNotOptimize(fast.data());
  }
  DecodeAll(blocks, &reference, true);
  if (fast != reference) state.SkipWithError("decoded bytes differ");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(blocks.decodedBytes));
  double best[2] = {1e30, 1e30};
  for (int i = 0; i < 10; ++i) {
    for (int r = 0; r < 2; ++r) {
      const auto start = std::chrono::steady_clock::now();
      DecodeAll(blocks, r ? &reference : &fast, r != 0);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      best[r] = std::min(best[r], took.count());
    }
  }
  state.counters["speedup"] = best[1] / best[0];
}

// Argument: 0 text-like, 1 binary-like, 2 random.
BENCHMARK(Decode)->DenseRange(kText, kRandom)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReferenceDecode)->DenseRange(kText, kRandom)->Unit(benchmark::kMicrosecond);
BENCHMARK(Crc)->DenseRange(kText, kRandom)->Unit(benchmark::kMicrosecond);
BENCHMARK(DecodeBlocks)->DenseRange(kText, kBinary)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
