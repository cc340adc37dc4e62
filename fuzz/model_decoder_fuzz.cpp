// Fuzz target: the adaptive model decoder (DecodeStream).
// Input: decoded count (u32 LE; bit 31 set decodes through the reserved
// 65,536-byte model buffers as in the stub, clear decodes straight from the
// input), then the stored stream bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t count = FuzzLe32(data);
  const bool buffered = (count & 0x80000000u) != 0;
  count &= 0x7FFFFFFFu;
  if (buffered && gDecoder.modelInput == nullptr) {
    gDecoder.modelInput = static_cast<uint8_t*>(malloc(kStreamBufferSize));
    gDecoder.modelOutput = static_cast<uint8_t*>(malloc(kStreamBufferSize));
  } else if (!buffered && gDecoder.modelInput != nullptr) {
    FuzzReleaseDecoder();
  }
  // The destination has exactly the room the count asks for, so that a
  // write past the decoded count is caught.
  const bool refused = count > kStreamBufferSize;
  uint8_t* destination = static_cast<uint8_t*>(malloc(refused || count == 0 ? 1 : count));
  uint32_t length = static_cast<uint32_t>(size - 4);
  DecodeStream(count, data + 4, &length, destination);
  // Every count the buffer can hold is decoded in full; a larger one yields nothing.
  if (length != (refused ? 0 : count)) abort();
  free(destination);
  return 0;
}
