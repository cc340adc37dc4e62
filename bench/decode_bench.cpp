// Throughput of the model decoder in decoded bytes per second on three kinds
// of data: the stub's DecodeStream beside the step-by-step reference decoder,
// and a CRC-32 pass over the same bytes as the floor. Each Decode run also
// times both decoders on its data and reports the reference's time over the
// fast one's as `speedup`.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "bench/reference_decoder.h"
#include "container/format.h"
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
    const double fast = BestTime(DecodeStream, coded, count, out.data());
    state.counters["speedup"] = reference / fast;
  }
}

void Decode(benchmark::State& state) { RunDecode(state, DecodeStream, true); }
void ReferenceDecode(benchmark::State& state) { RunDecode(state, ReferenceDecodeStream, false); }

void Crc(benchmark::State& state) {
  const Bytes data = Data(static_cast<Kind>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(Crc32Of(data.data(), static_cast<uint32_t>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

// Argument: 0 text-like, 1 binary-like, 2 random.
BENCHMARK(Decode)->DenseRange(kText, kRandom)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReferenceDecode)->DenseRange(kText, kRandom)->Unit(benchmark::kMicrosecond);
BENCHMARK(Crc)->DenseRange(kText, kRandom)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
