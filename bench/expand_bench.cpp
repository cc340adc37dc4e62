// Throughput of the window expansion in output bytes per second. Each kind of
// data is packed once into data blocks (profile 6, W = 2 MiB, so the output
// wraps around the window) and then rebuilt from memory:
//   Expand    - ExpandBlocks: block reading and decoding plus the expansion,
//               into the output that writes nothing;
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
#include "format/format.h"
#include "engine/engine.h"
#include "output/output.h"
#include "packer/packer.h"
#include "startup/startup.h"

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

// The engine of the profile, loaded once for the whole program.
Engine* TheEngine() {
  static Engine engine;
  if (engine.window == nullptr) {
    Faults faults;
    ClearFaults(&faults, false);
    if (!LoadSizeProfile(&engine, kProfile, &faults).ok()) abort();
  }
  return &engine;
}

// The archive stream over the blocks, or null when fmemopen fails.
FILE* OpenBlocks(const Bytes& blocks) {
  return fmemopen(const_cast<uint8_t*>(blocks.data()), blocks.size(), "rb");
}

const FileTable kNoFiles = {nullptr, nullptr, 0, 0};

void Expand(benchmark::State& state) {
  Engine* engine = TheEngine();
  const Bytes& blocks = Blocks(static_cast<Kind>(state.range(0)));
  Faults faults;
  Expansion x;
  for (auto _ : state) {
    FILE* archive = OpenBlocks(blocks);
    if (archive == nullptr) {
      state.SkipWithError("fmemopen failed");
      return;
    }
    ClearFaults(&faults, false);
    StartExpansion(&x, engine, &kNoFiles, NullSink(), &faults);
    Result expanded = ExpandBlocks(&x, archive);
    fclose(archive);
    if (!expanded.ok() || x.produced != kDataSize) {
      state.SkipWithError("the blocks did not expand to the data");
      return;
    }
    benchmark::DoNotOptimize(engine->window);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDataSize));
  state.counters["packed"] = static_cast<double>(blocks.size());
}

// Reads every block; with `expand`, also expands it step by step.
void ReadBlocks(benchmark::State& state, bool expand) {
  Engine* engine = TheEngine();
  const Bytes& blocks = Blocks(static_cast<Kind>(state.range(0)));
  bool failed = false;
  Faults faults;
  Expansion x;
  for (auto _ : state) {
    FILE* archive = OpenBlocks(blocks);
    if (archive == nullptr) {
      state.SkipWithError("fmemopen failed");
      return;
    }
    ClearFaults(&faults, false);
    StartExpansion(&x, engine, &kNoFiles, NullSink(), &faults);
    for (;;) {
      if (!ReadBlock(archive, engine, &x.block, &faults).ok()) break;
      const uint32_t lastBits = x.block.lastBits;
      const uint32_t v = lastBits > 8 ? lastBits - kLastBlockMark : lastBits;
      if (expand) failed |= !PlainExpandOneBlock(&x, v).ok();
      if (lastBits > 8) break;
    }
    fclose(archive);
    if (expand && x.produced + x.windowPos != kDataSize) failed = true;
    benchmark::DoNotOptimize(engine->window);
  }
  if (failed) state.SkipWithError("the step-by-step expansion did not rebuild the data");
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
