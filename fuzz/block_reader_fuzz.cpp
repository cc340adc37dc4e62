// Fuzz target: the block reader and the window expansion (ReadBlock through
// ExpandBlocks), going on after errors as the stub does with IgnoreErrors.
// The expansion writes one file that takes every byte into an output in
// memory; every byte rebuilt must reach it. Input: size-profile index (first
// byte, modulo 9), then the data blocks.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "format/format.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "output/output.h"

namespace {

MemoryOutput gOutput;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Engine* engine = FuzzEngine(static_cast<uint8_t>(data[0] % kProfileCount));
  FILE* archive = FuzzOpenBytes(data + 1, size - 1);
  Faults faults;
  ClearFaults(&faults, true);
  FileRecord whole = {};
  whole.size = INT32_MAX;
  whole.name = "whole";
  const FileTable files = {&whole, nullptr, 1, 1};
  StartMemoryOutput(&gOutput, &faults, UINT64_MAX);
  Expansion x;
  StartExpansion(&x, engine, &files, MemorySink(&gOutput), &faults);
  Result expanded = BeginFiles(&x, archive);
  (void)expanded;
  if (x.fileOpen) {
    Result closed = x.sink.finish(x.sink.self, 0, whole, false);
    (void)closed;
  }
  EndMemoryOutput(gOutput);
  // The block state keeps its cursors within the decoded counts.
  const BlockState& b = x.block;
  if (b.flagCount > kStreamBufferSize || b.literalCount > kStreamBufferSize || b.lengthCount > kStreamBufferSize ||
      b.matchCount > kStreamBufferSize || b.middleCount > kStreamBufferSize)
    abort();
  if (x.produced <= INT32_MAX && gOutput.total != x.produced) abort();
  FuzzClearWindow(engine, x);
  fclose(archive);
  return 0;
}
