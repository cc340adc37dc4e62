// The model decoder of the plain stub that bench/run.sh times beside the real
// one: the step-by-step decoder, one stream after the other, with the copies
// that the decoding steps make: the stored bytes into the decoder's input
// buffer, its output buffer into the work buffer, and the work buffer into the
// stream buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bench/reference_decoder.h"
#include "format/format.h"
#include "engine/engine.h"

// The plain decoder's buffers, one set per decoder (two threads decode side
// by side).
struct ModelDecoder {
  uint8_t input[kStreamBufferSize];
  uint8_t output[kStreamBufferSize];
  uint8_t work[409600];
};
ModelDecoder* NewModelDecoder() { return static_cast<ModelDecoder*>(std::calloc(1, sizeof(ModelDecoder))); }
void FreeModelDecoder(ModelDecoder* decoder) { std::free(decoder); }

void DecodeStream(ModelDecoder* plain, uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                  uint8_t* destination) {
  if (decodedCount > kStreamBufferSize) {
    *length = 0;
    return;
  }
  const uint32_t storedLength = *length < kStreamBufferSize ? *length : kStreamBufferSize;
  if (storedLength != 0) std::memcpy(plain->input, stored, storedLength);
  ReferenceDecodeStream(decodedCount, plain->input, length, plain->output);
  std::memcpy(plain->work, plain->output, decodedCount);
  std::memcpy(destination, plain->work, decodedCount);
}

void DecodeStreams(ModelDecoder* decoder, const StreamJob* jobs, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length = jobs[i].storedLength;
    DecodeStream(decoder, jobs[i].decodedCount, jobs[i].stored, &length, jobs[i].destination);
  }
}
