// The model decoder of the "plain" Linux stub that bench/run.sh times beside
// the real one: both entry points go straight to the step-by-step decoder, so
// the two stubs differ in nothing but how the streams are decoded.
#include <cstdint>

#include "bench/reference_decoder.h"
#include "engine/engine.h"

void DecodeStream(uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                  uint8_t* destination) {
  ReferenceDecodeStream(decodedCount, stored, length, destination);
}

// One stream after the other, in order: no interleaving.
void DecodeStreams(const StreamJob* jobs, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length = jobs[i].storedLength;
    ReferenceDecodeStream(jobs[i].decodedCount, jobs[i].stored, &length, jobs[i].destination);
  }
}
