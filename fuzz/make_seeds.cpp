// Writes the seed corpus of every fuzz target with the packer:
//   make_seeds OUTDIR   ->  OUTDIR/<target>/seed-<n>
// The seeds are small well-formed inputs of each decoder entry point, so that
// the fuzzers start from the paths a real archive takes.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "format/format.h"
#include "packer/packer.h"
#include "tests/support/crafted_pe.h"

namespace {

using packer::Bytes;

std::string gOut;

void Put(const std::string& target, int n, const Bytes& bytes) {
  const std::string folder = gOut + "/" + target;
  mkdir(gOut.c_str(), 0755);
  mkdir(folder.c_str(), 0755);
  const std::string path = folder + "/seed-" + std::to_string(n);
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::perror(path.c_str());
    std::exit(1);
  }
  fclose(file);
}

Bytes Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"setup ", "file ", "the ", "archive ", "window ",
                                       "block\r\n", "data ", "of ", "DOLM "};
  Bytes out;
  uint32_t x = seed * 2654435761u + 1;
  while (out.size() < n) {
    x = x * 1103515245u + 12345u;
    const char* w = kWords[(x >> 16) % 9];
    while (*w && out.size() < n) out.push_back(static_cast<uint8_t>(*w++));
  }
  return out;
}

Bytes Noise(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed | 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

Bytes Le32(uint32_t v) {
  Bytes out;
  AppendLe32(out, v);
  return out;
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<packer::PackFile> Files(int variant) {
  std::vector<packer::PackFile> files;
  files.push_back({"setup.exe", Text(300, 1), 946684800u, 0x20});
  files.push_back({"doc\\readme.txt", Text(1500 + 500 * variant, 2), 1000000000u, 0x21});
  files.push_back({"empty.txt", {}, 0, 0x20});
  if (variant > 0) files.push_back({"bin\\data.bin", Noise(400, 3), 1234567890u, 0x27});
  if (variant > 1) files.push_back({DOLM_TEMP_MARKER "tools\\x.dat", Text(200, 4), 5, 0xA0});
  return files;
}

// A stand-in for the stub image: a few bytes and the image's own copy of the
// overlay signature, which the search skips.
Bytes FakeImage() {
  const std::string signature = DOLM_OVERLAY_SIGNATURE;
  Bytes image = {'M', 'Z', 0x90, 0, 3, 0, 0, 0};
  image.insert(image.end(), signature.begin(), signature.end());
  image.insert(image.end(), 16, 0);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
    return 2;
  }
  gOut = argv[1];

  // Model decoder: decoded count and one stream; or (bit 31) two counts, the
  // first stream's length and two streams decoded together.
  const Bytes streams[] = {Text(2000, 5), Noise(300, 6), Bytes(1000, 'a'), Bytes()};
  int n = 0;
  for (size_t i = 0; i < 4; ++i) {
    const Bytes& s = streams[i];
    const Bytes& t = streams[(i + 1) % 4];
    const Bytes coded = packer::EncodeStream(s.data(), s.size());
    const Bytes other = packer::EncodeStream(t.data(), t.size());
    const uint32_t count = static_cast<uint32_t>(s.size());
    Put("model_decoder", n++, Join(Le32(count), coded));
    const Bytes split = {static_cast<uint8_t>(coded.size()), static_cast<uint8_t>(coded.size() >> 8)};
    Put("model_decoder", n++,
        Join(Join(Join(Join(Le32(count | 0x80000000u), Le32(static_cast<uint32_t>(t.size()))), split), coded), other));
  }

  // Splay decoder: output size (u16), packed bytes of raw entries.
  n = 0;
  for (int v = 0; v < 3; ++v) {
    Bytes entries = packer::WriteSolidHeader(Files(v));
    entries.erase(entries.begin(), entries.begin() + kSolidHeaderFixed);  // packed part only
    const uint32_t room = static_cast<uint32_t>(Files(v).size() * kEntryBudget);
    Put("splay_decoder", n++, Join({static_cast<uint8_t>(room), static_cast<uint8_t>(room >> 8)}, entries));
  }
  Put("splay_decoder", n++, Join({0, 2}, packer::PackHeaderBytes(Text(300, 7))));

  // Solid header as it stands behind the archive header.
  n = 0;
  for (int v = 0; v < 3; ++v) Put("solid_header", n++, packer::WriteSolidHeader(Files(v)));

  // Data blocks: profile byte, then the blocks of profiles with and without
  // a low-bit table, at a fast and a thorough level.
  n = 0;
  for (int profile : {0, 1, 2, 4}) {
    for (int level : {1, 9}) {
      const Bytes data = Join(Text(2500, static_cast<uint32_t>(profile + 8)), Noise(200, 9));
      Put("block_reader", n++, Join({static_cast<uint8_t>(profile)}, packer::WriteDataBlocks(data, profile, level)));
    }
  }
  // Several blocks: a long, highly repetitive stream.
  Put("block_reader", n++, Join({0}, packer::WriteDataBlocks(Bytes(200000, 'z'), 0, 1)));

  // Whole files: stand-in image and archive, with several option blocks.
  n = 0;
  const Bytes image = FakeImage();
  for (int v = 0; v < 3; ++v) {
    const uint32_t word = v == 0 ? 0x115u : (v == 1 ? 0x015u : 0x0C5u);
    const std::string temp = v == 1 ? DOLM_TEMP_MARKER : v == 2 ? "out\\folder" : "";
    const std::string exec = v == 0 ? packer::MakeExecuteText("setup.exe", "")
                             : v == 1 ? packer::MakeExecuteText("doc\\readme.txt", "/q /r") : "";
    const Bytes archive = packer::BuildArchive(Files(v), packer::WriteOptionBlock(word, temp, exec), v, 5);
    Put("stub_run", n, Join(image, archive));
    Put("examine", n, Join(image, archive));
    ++n;
  }

  // The extension record: alone (with and without texts), and in front of a
  // whole archive's signature.
  const std::string title = "Acme Setup", licence = "Terms\r\nAccept them?\r\n";
  ExtensionRecord record{};
  record.present = true;
  record.behaviour = kBehaveAll;
  // The first byte: 1, the trailer is mended before reading; 0, read as it stands.
  Put("extension_record", 0, Join({0}, packer::WriteExtensionRecord(record)));
  record.title = reinterpret_cast<const uint8_t*>(title.data());
  record.titleLength = static_cast<uint32_t>(title.size());
  record.licence = reinterpret_cast<const uint8_t*>(licence.data());
  record.licenceLength = static_cast<uint32_t>(licence.size());
  Put("extension_record", 1, Join({1}, packer::WriteExtensionRecord(record)));
  StoredOptions stored{};
  stored.record.optionWord = 0x115u;
  stored.extension = record;
  const Bytes withRecord = packer::BuildArchive(Files(1), packer::WriteOptionBlock(stored), 0, 5);
  Put("stub_run", n, Join(image, withRecord));
  Put("examine", n, Join(image, withRecord));

  // Resource writer: a whole stub (first byte 0), among them the resource
  // section over the headers; field patches (1); an icon file (2).
  n = 0;
  Put("pe_resources", n++, Join({0}, CraftPe(0x40, 0x400, CraftTree(3, false, 64, 64))));
  Put("pe_resources", n++, Join({0}, CraftPe(0x1000, 0, CraftTree(1, false, 16, 16))));
  Put("pe_resources", n++, Join({0}, CraftPe(0x40, 0x400, CraftTree(20, true, 300, 0))));
  Put("pe_resources", n++, Join({1}, {0x3C, 0, 0, 0x10, 0, 0, 0x5C, 0x01, 0x00, 0, 0, 0}));
  Bytes ico(6 + 32 + 100);
  ico[2] = 1, ico[4] = 2;
  CraftedPut(ico, 6 + 8, 50, 4), CraftedPut(ico, 6 + 12, 38, 4), CraftedPut(ico, 38, 40, 4);
  CraftedPut(ico, 22 + 8, 50, 4), CraftedPut(ico, 22 + 12, 88, 4), CraftedPut(ico, 88, 40, 4);
  Put("pe_resources", n++, Join({2}, ico));
  return 0;
}
