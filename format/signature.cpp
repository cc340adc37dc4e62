// The overlay signature's one copy and the search for it.
#include "format/signature.h"

#include <cstring>

#include "format/format.h"

namespace {

// A stub image's one copy of the overlay signature. It is reached through a
// volatile pointer so that the compiler keeps the whole text in the image
// instead of folding the comparison into instructions.
const char kOverlaySignature[] = DOLM_OVERLAY_SIGNATURE;
static_assert(sizeof kOverlaySignature == kSignatureLength + 1, "signature length");
const char* const volatile kSignatureText = kOverlaySignature;

}  // namespace

const char* OverlaySignature() { return kSignatureText; }

long FindOverlaySignature(const uint8_t* bytes, size_t length, size_t from) {
  const char* signature = kSignatureText;
  const uint8_t first = static_cast<uint8_t>(signature[0]);
  for (size_t at = from; at + kSignatureLength <= length; ++at) {
    if (bytes[at] != first) continue;
    if (std::memcmp(bytes + at, signature, kSignatureLength) == 0) return static_cast<long>(at);
  }
  return -1;
}

size_t CountOverlaySignatures(const uint8_t* bytes, size_t length) {
  size_t count = 0;
  for (long at = FindOverlaySignature(bytes, length, 0); at >= 0;
       at = FindOverlaySignature(bytes, length, static_cast<size_t>(at) + 1))
    ++count;
  return count;
}
