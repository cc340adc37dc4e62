// Fuzz target: the order-1 context splay decoder of the solid header
// (UnpackHeader). Input: output buffer size (u16 LE), then packed bytes.
// The same bytes taken as unpacked entries must also survive a round trip
// through the packer's encoder. One set of trees serves every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "output/output.h"
#include "packer/packer.h"

namespace {

SplayTree* const* Trees() {
  static SplayTree* trees[256];
  if (trees[0] == nullptr)
    for (SplayTree*& tree : trees) tree = new SplayTree();
  return trees;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t outputSize = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8;
  const uint8_t* packed = data + 2;
  const uint32_t packedLength = static_cast<uint32_t>(size - 2);

  uint8_t* output = static_cast<uint8_t*>(malloc(outputSize == 0 ? 1 : outputSize));
  const uint32_t produced = UnpackHeader(packedLength, packed, output, outputSize, Trees());
  // At most one symbol per packed bit, and never more than the buffer holds.
  if (produced > outputSize || produced > 8ull * packedLength) abort();
  free(output);

  const packer::Bytes entries(packed, packed + packedLength);
  const packer::Bytes coded = packer::PackHeaderBytes(entries);
  // Padding bits of the last byte may decode a few more symbols behind the entries.
  const uint32_t room = packedLength + 8;
  uint8_t* again = static_cast<uint8_t*>(malloc(room));
  const uint32_t back = UnpackHeader(static_cast<uint32_t>(coded.size()), coded.data(), again, room, Trees());
  if (back < packedLength || (packedLength != 0 && memcmp(again, packed, packedLength) != 0)) abort();
  free(again);
  return 0;
}
