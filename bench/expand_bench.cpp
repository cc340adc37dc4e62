// Throughput of the window expansion in output bytes per second. Each kind of
// data is packed once into data blocks (profile 6, W = 2 MiB, so the output
// wraps around the window) and then rebuilt from memory:
//   Expand    - ExpandBlocks: block reading and decoding plus the expansion;
//   ReadOnly  - the same blocks read and decoded with ReadBlock alone, the
//               floor that the expansion adds to;
//   ByteRule  - ReadBlock plus the step-by-step expansion of the plain stub
//               (bench/plain_expand.h), every byte on its own with a
//               window-end check, for comparison with the copy paths of
//               ExpandBlocks.
// The file table is empty, so every flush drops its bytes and the figures
// hold no file writes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench/bench_data.h"
#include "bench/plain_expand.h"
#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "output/output.h"
#include "packer/packer.h"

namespace {

using packer::Bytes;

constexpr int kProfile = 6;
constexpr size_t kDataSize = 6u << 20;

enum Kind { kText, kBinary, kRuns };

// Runs of one byte and short repeated patterns: long overlapping copies.
Bytes RunData(size_t n) {
  std::mt19937 rng(3);
  Bytes d;
  while (d.size() < n) {
    const size_t period = 1 + rng() % 12;
    const size_t length = 100 + rng() % 3000;
    Bytes pattern(period);
    for (auto& b : pattern) b = static_cast<uint8_t>(rng());
    for (size_t i = 0; i < length; ++i) d.push_back(pattern[i % period]);
  }
  d.resize(n);
  return d;
}

const Bytes& Blocks(Kind kind) {
  static Bytes cache[3];
  Bytes& blocks = cache[kind];
  if (blocks.empty()) {
    const Bytes data = kind == kText    ? bench::TextData(kDataSize)
                       : kind == kBinary ? bench::BinaryData(kDataSize, true)
                                         : RunData(kDataSize);
    blocks = packer::WriteDataBlocks(data, kProfile, 6);
  }
  return blocks;
}

// Decoder memory for the profile, reserved once for the whole program.
void SetUpDecoder() {
  static bool done = false;
  if (done) return;
  done = true;
  gDecoder.profileIndex = kProfile;
  gDecoder.windowSize = 32768u << kProfile;
  gDecoder.minMatch = kMinMatch;
  gDecoder.distanceWidth = static_cast<uint16_t>(7 + kProfile);
  gDecoder.window = static_cast<uint8_t*>(calloc(2 * gDecoder.windowSize, 1));
  uint8_t** streams[] = {&gDecoder.flagStream,   &gDecoder.lengthStream, &gDecoder.literalStream,
                         &gDecoder.highStream,   &gDecoder.middleStream, &gDecoder.modelInput,
                         &gDecoder.modelOutput};
  for (uint8_t** s : streams) *s = static_cast<uint8_t*>(calloc(kStreamBufferSize, 1));
  gDecoder.lowBitTable = static_cast<uint16_t*>(calloc(kStreamBufferSize, 2));
  gFiles.count = 0;
}

// Points the archive stream at the blocks; false when that fails.
bool OpenBlocks(const Bytes& blocks) {
  gContainer.archive = fmemopen(const_cast<uint8_t*>(blocks.data()), blocks.size(), "rb");
  return gContainer.archive != nullptr;
}

void CloseBlocks() {
  fclose(gContainer.archive);
  gContainer.archive = nullptr;
}

void Expand(benchmark::State& state) {
  SetUpDecoder();
  const Bytes& blocks = Blocks(static_cast<Kind>(state.range(0)));
  for (auto _ : state) {
    if (!OpenBlocks(blocks)) {
      state.SkipWithError("fmemopen failed");
      return;
    }
    ExpandBlocks();
    CloseBlocks();
    benchmark::DoNotOptimize(gDecoder.window);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDataSize));
  state.counters["packed"] = static_cast<double>(blocks.size());
}

// Reads every block; with `expand`, also expands it step by step.
void ReadBlocks(benchmark::State& state, bool expand) {
  SetUpDecoder();
  const Bytes& blocks = Blocks(static_cast<Kind>(state.range(0)));
  int failed = 0;
  for (auto _ : state) {
    if (!OpenBlocks(blocks)) {
      state.SkipWithError("fmemopen failed");
      return;
    }
    uint32_t position = 0;
    for (;;) {
      if (ReadBlock() != 0) break;
      const uint32_t v = gBlock.lastBits > 8 ? gBlock.lastBits - kLastBlockMark : gBlock.lastBits;
      if (expand) failed |= PlainExpandOneBlock(&position, v);
      if (gBlock.lastBits > 8) break;
    }
    CloseBlocks();
    benchmark::DoNotOptimize(gDecoder.window);
  }
  if (failed) state.SkipWithError("the step-by-step expansion found a block short of bytes");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDataSize));
}

void ReadOnly(benchmark::State& state) { ReadBlocks(state, false); }
void ByteRule(benchmark::State& state) { ReadBlocks(state, true); }

// Argument: 0 text-like, 1 binary-like with far repeats, 2 runs and short patterns.
BENCHMARK(Expand)->DenseRange(kText, kRuns)->Unit(benchmark::kMillisecond);
BENCHMARK(ByteRule)->DenseRange(kText, kRuns)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadOnly)->DenseRange(kText, kRuns)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
