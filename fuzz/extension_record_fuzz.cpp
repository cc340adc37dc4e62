// Fuzz target: the extension record's reader (ParseExtensionRecord). The
// first byte chooses the mode: odd, the rest gets a correct size, CRC-32 and
// magic in its trailer before it is read, so that the entries are reached
// (a fuzzer seldom guesses a CRC); even, the rest is read as it stands. A
// record that is read points only inside its entries, and writes back to a
// record that reads the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <vector>

#include "container/extension.h"
#include "format/crc.h"
#include "packer/packer.h"

namespace {

// A text of the record lies inside the entries, before the trailer.
bool Inside(const uint8_t* text, uint32_t length, const uint8_t* data, size_t size) {
  if (text == nullptr) return length == 0;
  return length != 0 && text >= data && static_cast<size_t>(text - data) + length <= size - kExtensionTrailerSize;
}

bool SameText(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
  return aLength == bLength && (aLength == 0 || std::memcmp(a, b, aLength) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The loader never hands over more than the largest record.
  if (size == 0 || size - 1 > kExtensionMaxSize) return 0;
  const bool mend = (data[0] & 1) != 0;
  std::vector<uint8_t> copy(data + 1, data + size);
  --size;
  if (mend && size >= kExtensionTrailerSize) {
    const uint32_t length = static_cast<uint32_t>(size);
    StoreLe32(&copy[size - 16], length);
    StoreLe32(&copy[size - 8], Crc32Of(copy.data(), length - 8));
    StoreLe32(&copy[size - 4], kExtensionMagic);
  }
  data = copy.data();
  ExtensionRecord record;
  const ExtensionStatus status = ParseExtensionRecord(data, static_cast<uint32_t>(size), &record);
  if (record.present != (status == ExtensionStatus::kValid)) abort();
  if (status == ExtensionStatus::kNeedsNewer && record.unknownRequired > 0x7FFF) abort();
  if (status != ExtensionStatus::kValid) return 0;
  if (record.size != size || !Inside(record.title, record.titleLength, data, size) ||
      !Inside(record.licence, record.licenceLength, data, size))
    abort();
  const packer::Bytes again = packer::WriteExtensionRecord(record);
  ExtensionRecord reread;
  if (ParseExtensionRecord(again.data(), static_cast<uint32_t>(again.size()), &reread) != ExtensionStatus::kValid ||
      reread.behaviour != record.behaviour ||
      !SameText(reread.title, reread.titleLength, record.title, record.titleLength) ||
      !SameText(reread.licence, reread.licenceLength, record.licence, record.licenceLength))
    abort();
  return 0;
}
