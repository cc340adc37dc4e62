// Fuzz target: the adaptive model decoder. Input: decoded count (u32 LE),
// then the stored stream bytes. With bit 31 of the count clear, DecodeStream
// decodes the bytes as one stream: with bit 30 set, the count in bits 0-29
// (above a stream buffer's 65,536 bytes: refused), else at most 1,023. With
// bit 31 set, the bytes are two streams decoded together by DecodeStreams,
// as the block reader does: a second count (u32 LE) and the length of the
// first stream (u16 LE) follow the first count; each stream must decode to
// exactly what DecodeStream gives for it alone. Counts of streams decoded
// together are at most 1,023 (many times the symbols after which the models
// are rescaled): the lanes' logic does not depend on the count, and full
// buffers, decoded four times there, took most of the target's time.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "format/format.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"

namespace {

// A stream as the block reader hands it over: exactly its stored bytes and
// the zero padding the decoder may load, on the heap, so that a read beyond
// them is caught.
// The target's one decoder state, kept across inputs.
ModelDecoder* Decoder() {
  static ModelDecoder* decoder = NewModelDecoder();
  return decoder;
}

uint8_t* PaddedCopy(const uint8_t* bytes, uint32_t length) {
  uint8_t* copy = static_cast<uint8_t*>(calloc(length + kStreamPadding, 1));
  if (length != 0) memcpy(copy, bytes, length);
  return copy;
}

// The destination has exactly the room the count asks for, so that a write
// past the decoded count is caught.
uint8_t* Destination(uint32_t count) { return static_cast<uint8_t*>(malloc(count == 0 ? 1 : count)); }

void DecodeAlone(const uint8_t* stored, uint32_t storedLength, uint32_t count) {
  const bool refused = count > kStreamBufferSize;
  uint8_t* destination = Destination(refused ? 0 : count);
  uint32_t length = storedLength;
  DecodeStream(Decoder(), count, stored, &length, destination);
  // Every count the buffer can hold is decoded in full; a larger one yields nothing.
  if (length != (refused ? 0 : count)) abort();
  free(destination);
}

void DecodeTogether(const uint8_t* data, size_t size) {
  if (size < 10) return;
  const uint32_t counts[2] = {FuzzLe32(data) & 0x3FFu, FuzzLe32(data + 4) & 0x3FFu};
  const uint8_t* bytes = data + 10;
  const uint32_t total = static_cast<uint32_t>(size - 10);
  uint32_t first = LoadLe16(data + 8);  // at most 65,535: within a stream buffer
  if (first > total) first = total;
  const uint32_t second = total - first < kStreamBufferSize ? total - first : kStreamBufferSize;
  const uint32_t lengths[2] = {first, second};
  const uint8_t* starts[2] = {bytes, bytes + first};
  StreamJob jobs[2];
  for (int i = 0; i < 2; ++i) jobs[i] = {PaddedCopy(starts[i], lengths[i]), lengths[i], counts[i], Destination(counts[i])};
  DecodeStreams(Decoder(), jobs, 2);
  for (int i = 0; i < 2; ++i) {
    uint8_t* alone = Destination(counts[i]);
    uint32_t length = lengths[i];
    DecodeStream(Decoder(), counts[i], starts[i], &length, alone);
    if (length != counts[i] || memcmp(alone, jobs[i].destination, counts[i]) != 0) abort();
    free(alone);
    free(const_cast<uint8_t*>(jobs[i].stored));
    free(jobs[i].destination);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t count = FuzzLe32(data);
  if ((count & 0x80000000u) == 0)
    DecodeAlone(data + 4, static_cast<uint32_t>(size - 4), (count & 0x40000000u) != 0 ? count & 0x3FFFFFFFu : count & 0x3FFu);
  else
    DecodeTogether(data, size);
  return 0;
}
