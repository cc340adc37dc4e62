// Size profiles and the decoder's memory: the nine rows that fix window size,
// minimum match length and distance width, and the reservation of the window
// and the fixed buffers of the engine.
#include <cstdint>
#include <cstdlib>

#include "format/format.h"
#include "engine/engine.h"

namespace {

uint8_t* Reserve(size_t bytes) { return static_cast<uint8_t*>(std::calloc(bytes, 1)); }

// The stream buffers, the low-bit table, the work buffer and the model
// decoder: what one stage of the extraction decodes a block into.
void ReserveStreams(Engine* engine) {
  engine->flagStream = Reserve(kStreamBufferSize);
  engine->lengthStream = Reserve(kStreamBufferSize);
  engine->literalStream = Reserve(kStreamBufferSize);
  engine->highStream = Reserve(kStreamBufferSize);
  engine->middleStream = Reserve(kStreamBufferSize);
  engine->lowBitTable = reinterpret_cast<uint16_t*>(Reserve(2u * kStreamBufferSize));
  engine->work = Reserve(kWorkBufferSize);
  engine->decoder = NewModelDecoder();
}

bool HasStreams(const Engine& engine) {
  return engine.flagStream != nullptr && engine.lengthStream != nullptr && engine.literalStream != nullptr &&
         engine.highStream != nullptr && engine.middleStream != nullptr && engine.lowBitTable != nullptr &&
         engine.work != nullptr && engine.decoder != nullptr;
}

Result ReserveBuffers(Engine* engine) {
  const uint32_t windowBytes = 2u * engine->windowSize;
  if (engine->window != nullptr && engine->reservedWindow >= windowBytes) return kOk;
  std::free(engine->window);
  engine->window = Reserve(windowBytes);
  engine->reservedWindow = engine->window != nullptr ? windowBytes : 0;
  if (engine->flagStream == nullptr) {
    ReserveStreams(engine);
  }
  if (engine->window == nullptr || !HasStreams(*engine)) {
    ReleaseDecoderMemory(engine);
    return Result{kErrorCannotProcess};
  }
  return kOk;
}

}  // namespace

void ReleaseDecoderMemory(Engine* engine) {
  std::free(engine->window);
  std::free(engine->flagStream);
  std::free(engine->lengthStream);
  std::free(engine->literalStream);
  std::free(engine->highStream);
  std::free(engine->middleStream);
  std::free(engine->lowBitTable);
  std::free(engine->work);
  FreeModelDecoder(engine->decoder);
  *engine = Engine{};
}

bool ReserveSpareStreams(Engine* spare, const Engine* engine) {
  *spare = Engine{};
  spare->profileIndex = engine->profileIndex;
  spare->windowSize = engine->windowSize;
  spare->minMatch = engine->minMatch;
  spare->distanceWidth = engine->distanceWidth;
  ReserveStreams(spare);
  if (!HasStreams(*spare)) {
    ReleaseDecoderMemory(spare);
    return false;
  }
  return true;
}

Result LoadSizeProfile(Engine* engine, uint8_t index, Faults* faults) {
  engine->profileIndex = index;
  engine->windowSize = WindowSizeOf(index);
  engine->minMatch = kMinMatch;
  engine->distanceWidth = static_cast<uint16_t>(DistanceWidthOf(index));
  Result result = ReserveBuffers(engine);
  if (!result.ok()) return NoteFault(faults, kErrorCannotProcess);
  return kOk;
}

Result PrepareDecoder(Engine* engine, const uint8_t* header, Faults* faults) {
  const uint8_t solidFlag = SolidFlagOf(header);
  const uint8_t index = ProfileIndexOf(header);
  if (solidFlag == 0 || index >= kProfileCount) {
    Result refused = NoteFault(faults, kErrorNotArchive, "", -1);
    if (!faults->goOn) return refused;
    Result memory = LoadSizeProfile(engine, 0, faults);
    return memory.ok() ? refused : memory;
  }
  return LoadSizeProfile(engine, index, faults);
}
