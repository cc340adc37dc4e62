// Fuzz target: the resource reader and writer of Windows stubs, as dolm pack
// brands a --stub PATH file. The first byte picks what the rest is:
//   0: the stub image itself (random stubs);
//   1: (offset, value) pairs of 2 + 4 bytes, each 32-bit value written into a
//      small well-formed stub at offset modulo its size (field-level stubs);
//   2: an .ico file, turned into icon resources.
// Every stub is branded with a fixed icon, version block and manifest. A stub
// branded without error must read back with its new version block, and an
// icon's images can never hold more bytes than the file.
#include <cstdint>
#include <cstdlib>

#include "packer/pe_resources.h"
#include "tests/support/crafted_pe.h"

namespace {

using packer::Bytes;

const Bytes& WellFormedStub() {
  static const Bytes stub = CraftPe(0x40, 0x400, CraftTree(3, false, 64, 64));
  return stub;
}

const packer::Branding& FixedBranding() {
  static const packer::Branding branding = [] {
    Bytes ico(6 + 16 + 48);
    ico[2] = 1, ico[4] = 1;
    CraftedPut(ico, 6 + 8, 48, 4), CraftedPut(ico, 6 + 12, 22, 4), CraftedPut(ico, 22, 40, 4);
    return packer::Branding{ico, {{"ProductName", "Fuzz"}}, "asInvoker"};
  }();
  return branding;
}

void BrandAndReadBack(Bytes image) {
  if (!packer::BrandImage(image, FixedBranding()).empty()) return;
  std::vector<packer::Resource> back;
  if (!packer::ReadResources(image, back).empty()) abort();
  Bytes version;
  packer::VersionResource(FixedBranding().version, version);
  bool found = false;
  for (const auto& r : back) found |= r.type.text.empty() && r.type.id == packer::kRtVersion && r.data == version;
  if (!found) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const Bytes rest(data + 1, data + size);
  switch (data[0] % 3) {
    case 0:
      BrandAndReadBack(rest);
      break;
    case 1: {
      Bytes stub = WellFormedStub();
      for (size_t at = 0; at + 6 <= rest.size(); at += 6)
        CraftedPut(stub, (rest[at] | rest[at + 1] << 8) % (stub.size() - 3),
                   rest[at + 2] | rest[at + 3] << 8 | rest[at + 4] << 16 | uint32_t{rest[at + 5]} << 24, 4);
      BrandAndReadBack(stub);
      break;
    }
    default: {
      std::vector<Bytes> images;
      Bytes group;
      if (!packer::IconResources(rest, 1, images, group).empty()) break;
      size_t total = 0;
      for (const auto& image : images) total += image.size();
      if (total > rest.size()) abort();
    }
  }
  return 0;
}
