// Adaptive model decoder: rebuilds model-coded streams of a data block.
// Each byte value is coded as a class (model 0) and, for classes 3 to 13, an
// offset inside the class (models 1 to 11), with a range coder whose range
// stays between 2^24 and 2^25 and is renormalised one input bit per doubling.
//
// How the loop is made fast without changing a bit of the result:
// - A symbol is found from t = code / r (clamped to total - 1) by counting the
//   cumulative counts that are <= t: the models keep cumulative counts, so
//   with SSE2 this is four compares over 32 lanes and one bit scan, with no
//   branch that depends on the data. Without SSE2 the counts are kept in
//   groups of eight: three compares pick the group and seven the lane, all
//   side by side, and the update adds to three 64-bit words. r = range /
//   total comes from a table of reciprocals, so each symbol costs one
//   division instead of two.
// - Renormalisation doubles the range k times at once, k from the leading
//   zeros of range - 1, and takes the k bits in one piece from a 64-bit bit
//   buffer that is refilled a whole word at a time, without a branch.
// - Each symbol depends on the one before through range and code, so one
//   stream runs at the latency of that chain. DecodeStreams therefore decodes
//   two independent streams in one loop, one byte of each per turn, and the
//   processor overlaps the two chains.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "format/format.h"

// The decoder is compiled once per path (engine/model_decoder_body.h): with
// SSE2, which every x86-64 processor has, and portable. The 32-bit Windows
// stub must also start on processors without SSE2: it holds both paths and
// takes the SSE2 one where the processor and the system have it, detected
// once. DOLM_PORTABLE_DECODER builds the portable path alone (the tests that
// check it).
#if (defined(__x86_64__) || defined(__i386__)) && !defined(DOLM_PORTABLE_DECODER)
#define DOLM_HAVE_SSE2_PATH 1
#include <emmintrin.h>
#endif

// The per-symbol steps must be inlined into the loops, so that each lane's
// coder state stays in registers.
#if defined(__GNUC__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#define LIKELY(x) __builtin_expect(!!(x), 1)
#define UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define ALWAYS_INLINE inline
#define LIKELY(x) (x)
#define UNLIKELY(x) (x)
#endif


#if defined(DOLM_HAVE_SSE2_PATH)
#if !defined(__SSE2__)
#pragma GCC push_options
#pragma GCC target("sse2")
#endif
#define DOLM_DECODER_SSE2 1
namespace sse2_path {
#include "engine/model_decoder_body.h"
}  // namespace sse2_path
#undef DOLM_DECODER_SSE2
#if !defined(__SSE2__)
#pragma GCC pop_options
#endif
#endif

#if !defined(__SSE2__) || defined(DOLM_PORTABLE_DECODER)
namespace portable_path {
#include "engine/model_decoder_body.h"
}  // namespace portable_path
#endif

// A decoder's memory: this record, then the state of its path at the next
// 64-byte boundary (the models are laid out in cache lines), in one block.
// Invariant: state points into the same block, path is 0 until the first
// decoding chose one (1 portable, 2 SSE2).
struct ModelDecoder {
  void* state;
  int path;
};

namespace {

constexpr size_t kStateAlignment = 64;
#if defined(DOLM_HAVE_SSE2_PATH) && !defined(__SSE2__)
constexpr size_t kStateSize = sizeof(sse2_path::DecoderState) > sizeof(portable_path::DecoderState)
                                  ? sizeof(sse2_path::DecoderState)
                                  : sizeof(portable_path::DecoderState);
#elif defined(DOLM_HAVE_SSE2_PATH)
constexpr size_t kStateSize = sizeof(sse2_path::DecoderState);
#else
constexpr size_t kStateSize = sizeof(portable_path::DecoderState);
#endif

#if defined(DOLM_HAVE_SSE2_PATH)
sse2_path::DecoderState* Sse2State(ModelDecoder* decoder) {
  return static_cast<sse2_path::DecoderState*>(decoder->state);
}
#endif
#if !defined(__SSE2__) || defined(DOLM_PORTABLE_DECODER)
portable_path::DecoderState* PortableState(ModelDecoder* decoder) {
  return static_cast<portable_path::DecoderState*>(decoder->state);
}
#endif

}  // namespace

ModelDecoder* NewModelDecoder() {
  void* memory = std::calloc(1, sizeof(ModelDecoder) + kStateAlignment + kStateSize);
  if (memory == nullptr) return nullptr;
  ModelDecoder* decoder = static_cast<ModelDecoder*>(memory);
  const uintptr_t after = reinterpret_cast<uintptr_t>(decoder + 1);
  decoder->state = reinterpret_cast<void*>((after + kStateAlignment - 1) & ~(kStateAlignment - 1));
  return decoder;
}

void FreeModelDecoder(ModelDecoder* decoder) { std::free(decoder); }

#if defined(DOLM_HAVE_SSE2_PATH) && !defined(__SSE2__)
namespace {
// Which path the decoder takes, found on its first use.
bool UseSse2(ModelDecoder* decoder) {
  if (decoder->path == 0) decoder->path = PlatformHasSse2() ? 2 : 1;
  return decoder->path == 2;
}
}  // namespace
void DecodeStreams(ModelDecoder* decoder, const StreamJob* jobs, uint32_t count) {
  if (UseSse2(decoder)) sse2_path::DecodeJobs(Sse2State(decoder), jobs, count);
  else portable_path::DecodeJobs(PortableState(decoder), jobs, count);
}
void DecodeStream(ModelDecoder* decoder, uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                  uint8_t* destination) {
  if (UseSse2(decoder)) sse2_path::DecodeOne(Sse2State(decoder), decodedCount, stored, length, destination);
  else portable_path::DecodeOne(PortableState(decoder), decodedCount, stored, length, destination);
}
#elif defined(DOLM_HAVE_SSE2_PATH)
void DecodeStreams(ModelDecoder* decoder, const StreamJob* jobs, uint32_t count) {
  sse2_path::DecodeJobs(Sse2State(decoder), jobs, count);
}
void DecodeStream(ModelDecoder* decoder, uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                  uint8_t* destination) {
  sse2_path::DecodeOne(Sse2State(decoder), decodedCount, stored, length, destination);
}
#else
void DecodeStreams(ModelDecoder* decoder, const StreamJob* jobs, uint32_t count) {
  portable_path::DecodeJobs(PortableState(decoder), jobs, count);
}
void DecodeStream(ModelDecoder* decoder, uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                  uint8_t* destination) {
  portable_path::DecodeOne(PortableState(decoder), decodedCount, stored, length, destination);
}
#endif
