// Size profiles and the decoder's memory: the nine rows that fix window size,
// minimum match length and distance width, and the one-time reservation of
// the window and the fixed buffers of the engine.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "container/container.h"
#include "container/format.h"
#include "platform/platform.h"
#include "startup/startup.h"

const SizeProfile kSizeProfiles[9] = {
    {1, 4, 258, 15, 1, 7, "32K"},          {2, 4, 10000, 16, 1, 8, "64K"},
    {4, 4, 20000, 17, 1, 9, "128K"},       {8, 4, 30000, 18, 1, 10, "256K"},
    {16, 4, 40000, 19, 1, 11, "512K"},     {32, 4, 60000, 19, 1, 12, "1024K"},
    {64, 4, 62000, 20, 1, 13, "2048K"},    {128, 4, 64000, 20, 1, 14, "4096K"},
    {256, 4, 65200, 20, 1, 15, "8192K"},
};

// Decoder settings and memory. Invariants: the nine buffers are either all
// null (nothing reserved yet) or all reserved and zero-filled, window holding
// 2 * the windowSize of the first set-up; they are never released.
DecoderState gDecoder;

namespace {

constexpr uint32_t kWindowUnit = 32768;
constexpr uint32_t kEstimateExtra = 0x60000;  // 393,216 bytes added to 2 * W
constexpr size_t kTableBytes = 2u * kStreamBufferSize;

uint8_t* Reserve(size_t bytes) { return static_cast<uint8_t*>(std::calloc(bytes, 1)); }

}  // namespace

void FormatMemoryEstimate(uint32_t windowSize, char* out, int size) {
  const uint32_t estimate = 2u * windowSize + kEstimateExtra;
  const uint32_t megabytes = estimate >> 20;
  const uint32_t remainder = estimate - (megabytes << 20);
  const uint32_t fraction = (remainder / 1000u) % 1000u;
  std::snprintf(out, static_cast<size_t>(size), "%ld.%ld", static_cast<long>(megabytes),
                static_cast<long>(fraction));
}

int SetUpDecoderMemory() {
  if (gDecoder.window != nullptr) return 0;

  char amount[32];
  char status[64];
  FormatMemoryEstimate(gDecoder.windowSize, amount, sizeof amount);
  std::snprintf(status, sizeof status, "Requesting %s Mb memory", amount);
  StatusText(status);

  gDecoder.window = Reserve(2u * static_cast<size_t>(gDecoder.windowSize));
  gDecoder.flagStream = Reserve(kStreamBufferSize);
  gDecoder.lengthStream = Reserve(kStreamBufferSize);
  gDecoder.literalStream = Reserve(kStreamBufferSize);
  gDecoder.highStream = Reserve(kStreamBufferSize);
  gDecoder.middleStream = Reserve(kStreamBufferSize);
  gDecoder.lowBitTable = reinterpret_cast<uint16_t*>(Reserve(kTableBytes));
  gDecoder.modelInput = Reserve(kStreamBufferSize);
  gDecoder.modelOutput = Reserve(kStreamBufferSize);

  if (gDecoder.window == nullptr || gDecoder.flagStream == nullptr ||
      gDecoder.lengthStream == nullptr || gDecoder.literalStream == nullptr ||
      gDecoder.highStream == nullptr || gDecoder.middleStream == nullptr ||
      gDecoder.lowBitTable == nullptr || gDecoder.modelInput == nullptr ||
      gDecoder.modelOutput == nullptr) {
    ReportError(11, nullptr);
    PlatformExitProcess(0);
  }
  return 0;
}

int LoadSizeProfile(uint8_t index) {
  const SizeProfile& profile = kSizeProfiles[index];
  gDecoder.windowSize = static_cast<uint32_t>(profile.windowFactor) * kWindowUnit;
  gDecoder.minMatch = profile.minMatch;
  gDecoder.distanceWidth = profile.distanceWidth;
  return SetUpDecoderMemory();
}

int PrepareDecoder(int load) {
  CheckArchiveHeader();
  const uint8_t settings = gContainer.header[kHeaderSettingsOffset];
  gContainer.solidFlag = static_cast<uint8_t>((settings >> 2) & 3u);
  if (!load) return 0;

  uint8_t index = static_cast<uint8_t>(settings >> 4);
  // A header without the solid flag or naming no profile (9..15) is not an
  // archive this stub can read: error 1, and when the process goes on, profile
  // 0's memory is reserved so that later readers stay in bounds, and 1 is returned.
  if (gContainer.solidFlag == 0 || index >= kProfileCount) {
    ReportError(1, nullptr);
    gDecoder.profileIndex = 0;
    LoadSizeProfile(0);
    return 1;
  }
  gDecoder.profileIndex = index;
  LoadSizeProfile(index);
  return 0;
}
