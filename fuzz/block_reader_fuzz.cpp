// Fuzz target: the block reader and the window expansion (ReadBlock through
// ExpandBlocks), as `dolm test` runs them: the whole data is expanded into an
// output that discards it. Input: size-profile index (first byte, modulo 9),
// then the data blocks.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "output/output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  FuzzResetState();
  const uint8_t profile = static_cast<uint8_t>(data[0] % kProfileCount);
  // Decoder memory is reserved for exactly this input's profile, so that the
  // sanitizers see any access beyond the window of that profile.
  if (gDecoder.window == nullptr || gDecoder.profileIndex != profile) {
    FuzzReleaseDecoder();
    gDecoder.profileIndex = profile;
    LoadSizeProfile(profile);
  }
  const std::string path = FuzzWriteInput("blocks.bin", data + 1, size - 1);
  gContainer.archive = fopen(path.c_str(), "rb");
  gExpand.outputFile = fopen("/dev/null", "wb");
  if (gContainer.archive == nullptr || gExpand.outputFile == nullptr) abort();
  gExpand.nextFile = gFiles.count;
  gExpand.remaining = INT32_MAX;
  gExpand.writeFlag = 1;
  ExpandBlocks();
  if (gExpand.remaining < 0) abort();
  fclose(gContainer.archive);
  fclose(gExpand.outputFile);
  gContainer.archive = nullptr;
  gExpand.outputFile = nullptr;
  return 0;
}
