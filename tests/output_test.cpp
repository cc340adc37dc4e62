// Solid header and window expansion: fixed vectors, round trips, damaged input and failing output.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "format/format.h"
#include "packer/packer.h"
#include "startup/startup.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;


// The output interface into memory: each file's bytes and how it ended ('F' finished whole, 'P' closed part-way, 'R'
// removed), and what the expansion returned. Writes to file `failing` fail as on a full disk.
struct Memory {
  std::vector<Bytes> data;
  std::string ends;
  uint32_t failing;
  Faults* faults;
  Result result;
  Fault fault;
  Bytes Joined() const { Bytes all; for (const Bytes& d : data) all = Join(all, d); return all; }
};
Memory& Of(void* self) { return *static_cast<Memory*>(self); }
Result Open(void* s, uint32_t, const FileRecord&, bool* w) {
  return Of(s).data.emplace_back(), Of(s).ends += ' ', *w = true, kOk;
}
Result Write(void* s, const uint8_t* bytes, uint32_t count) {
  if (Of(s).data.size() - 1 == Of(s).failing) return NoteFault(Of(s).faults, kErrorWriteFailed, "f", -1, 28);
  return Of(s).data.back().insert(Of(s).data.back().end(), bytes, bytes + count), kOk;
}
Result Finish(void* s, uint32_t i, const FileRecord&, bool whole) { return Of(s).ends[i] = whole ? 'F' : 'P', kOk; }
void Remove(void* s) { Of(s).ends.back() = 'R'; }

// Expands `blocks` into files of the given sizes as an inspection does (the data must then fill the files exactly),
// in `stages`.
Memory ExpandIn(uint8_t stages, int profile, const std::vector<uint32_t>& sizes, const Bytes& blocks, bool goOn,
                uint32_t failing) {
  auto run = std::make_unique<StubRun>();
  run->stages = stages;
  ClearFaults(&run->faults, goOn);
  EXPECT_TRUE(LoadSizeProfile(&run->engine, static_cast<uint8_t>(profile), &run->faults).ok());
  std::vector<FileRecord> records(sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) records[i].size = sizes[i];
  for (auto& record : records) record.name = "f";
  run->files = {records.data(), nullptr, static_cast<uint32_t>(sizes.size()), static_cast<uint32_t>(sizes.size())};
  run->archive.file = TempFileWith(blocks);
  Memory m{{}, "", failing, &run->faults, kOk, {}};
  m.result = ExpandInto(run.get(), OutputSink{&m, Open, Write, Finish, Remove});
  m.fault = run->faults.first;
  CloseArchive(&run->archive);
  ReleaseDecoderMemory(&run->engine);
  return m;
}

// The same in one stage and in two (a second thread forced on): both must give the same files, ends, result and
// fault.
Memory Expand(int profile, const std::vector<uint32_t>& sizes, const Bytes& blocks, bool goOn = false,
              uint32_t failing = ~0u) {
  const Memory one = ExpandIn(1, profile, sizes, blocks, goOn, failing);
  const Memory two = ExpandIn(2, profile, sizes, blocks, goOn, failing);
  EXPECT_TRUE(one.data == two.data && one.ends == two.ends && one.result.error == two.result.error &&
              one.fault.error == two.fault.error && one.fault.offset == two.fault.offset)
      << "one stage and two differ: result " << one.result.error << " / " << two.result.error << ", fault at "
      << one.fault.offset << " / " << two.fault.offset << ", ends '" << one.ends << "' / '" << two.ends << "'";
  return one;
}

// One block written by hand: `items` holds 'L' (literal) and 'M' (match) in flag order; the flag stream of `s` is
// made from it.
Bytes HandBlock(const std::string& items, packer::BlockStreams s, int width,
                packer::BlockPlace place = packer::BlockPlace::kLast) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (i % 8 == 0) s.flags.push_back(0);
    if (items[i] == 'L') s.flags.back() = static_cast<uint8_t>(s.flags.back() | (1u << (i % 8)));
  }
  s.itemsInLastFlagByte = static_cast<uint32_t>(items.size() % 8);
  Bytes out;
  EXPECT_TRUE(packer::WriteBlock(s, width, place, out));
  return out;
}

TEST(SplayCoder, RoundTripsStopAtTheOutputEnd) {
  std::vector<SplayTree> pool(256);
  std::vector<SplayTree*> trees;
  for (SplayTree& t : pool) trees.push_back(&t);
  for (const Bytes& in : {TextLikeBytes(5000, 1), RandomBytes(3000, 2), Join(Bytes(700, 0xFF), RandomBytes(300, 3))}) {
    const Bytes packed = packer::PackHeaderBytes(in);
    // Padding bits of the last byte may decode up to 7 extra symbols, never fewer; a smaller output buffer stops the
    // unpacking exactly at its end.
    for (uint32_t room : {static_cast<uint32_t>(in.size()) + 16, static_cast<uint32_t>(in.size()) / 3}) {
      Bytes out(room + 1, 0xEE);
      const size_t n = UnpackHeader(packed.size(), packed.data(), out.data(), room, trees.data()), m = in.size();
      EXPECT_EQ(out[n], 0xEE);
      EXPECT_GE(n, std::min<size_t>(room, m));
      EXPECT_LE(n, std::min<size_t>(room, m + 7));
      EXPECT_TRUE(std::equal(in.begin(), in.begin() + static_cast<long>(std::min(n, in.size())), out.begin()));
    }
  }
}

const char kOneFileHeader[] = "01 00 00 00 85 85 11 00 00 00 01 C2 B6 1C C0 00 01 7E 97 00 20 A3 87 74 2E 1E 2E";

// Reads a solid header from `bytes` into a table that held 5 files; the error number, and in *position where the file
// was left.
int ReadHeader(const Bytes& bytes, FileTable* files, bool goOn, long* position) {
  Faults faults;
  ClearFaults(&faults, goOn);
  files->count = 5;
  FILE* file = TempFileWith(bytes);
  const Result r = ReadSolidHeader(file, files, &faults);
  *position = std::ftell(file);
  std::fclose(file);
  return faults.first.error == r.error || r.error == kSilentFailure ? r.error : -2;
}

TEST(SolidHeader, FixedVectorsAndRoundTrips) {
  const std::vector<packer::PackFile> one = {{"a.txt", Text("abc"), 946684800}};
  EXPECT_EQ(packer::WriteSolidHeader(one), HexBytes(kOneFileHeader));
  EXPECT_EQ(packer::WriteSolidHeader(std::vector<packer::PackFile>{}), HexBytes("00000000 0000 00000000"));
  EXPECT_EQ(packer::PackHeaderBytes(Text("abab")), HexBytes("86 46 86 05"));
  // Long names, and more files than the table's first 3000 records.
  std::vector<packer::PackFile> many(40), lots(4000);
  for (uint32_t i = 0; i < many.size(); ++i)
    many[i] = {"Files\\" DOLM_TEMP_MARKER + std::to_string(i) + std::string(i * 5, 'x'), RandomBytes(i, 7),
               1000000000u + i, static_cast<uint8_t>(i)};
  many[39].name = std::string(255, 'n');
  for (uint32_t i = 0; i < lots.size(); ++i) lots[i] = {std::to_string(i), {}, i, 0x20};
  FileTable table{};
  long position = 0;
  for (const auto& files : {std::vector<packer::PackFile>{}, one, many, lots}) {
    const Bytes header = packer::WriteSolidHeader(files);
    ASSERT_EQ(ReadHeader(Join(header, {0x5A}), &table, false, &position), kNoError);  // what follows stays unread
    ASSERT_EQ(table.count, files.size());
    ASSERT_EQ(position, static_cast<long>(header.size()));
    for (uint32_t i = 0; i < files.size(); ++i) {
      const FileRecord& f = table.records[i];
      ASSERT_EQ(std::tuple(std::string(f.name), f.size, f.time, f.attributes),
                std::tuple(files[i].name, files[i].data.size(), files[i].time, files[i].attributes)) << i;
    }
  }
  // Damage: truncated packed bytes or length, a packed length 277 > 1 x 276, a count beyond the entries (the check
  // covers the packed bytes only), 14.9 million files behind 17 packed bytes, and flipped packed bytes and check.
  const Bytes good = HexBytes(kOneFileHeader), tail(good.begin() + 3, good.end());
  std::vector<Bytes> damaged = {Bytes(good.begin(), good.end() - 3), Bytes(good.begin(), good.begin() + 8),
                                Join(HexBytes("01000000 0000 15010000"), Bytes(277, 0)),
                                Join(HexBytes("020000"), tail), Join(HexBytes("05E8E3"), tail)};
  for (size_t at : {10, 11, 19, 26, 5}) damaged.push_back(good), damaged.back()[at] ^= uint8_t(1u << at % 8);
  // A header that stops 431 MB short, its check holding over the missing zero bytes: damage, not minutes of unpacking.
  damaged.push_back(HexBytes("01002800 FFFF FFFFBF19 FFFFFFFF"));
  // The 14.9 million files' buffers could not be had in a 32-bit process: a failure without a message.
  for (size_t i = 0; i < damaged.size() * 2; ++i) {
    EXPECT_EQ(ReadHeader(damaged[i / 2], &table, i % 2, &position), i / 2 == 4 ? kSilentFailure : kErrorMeltingNames)
        << i;
    EXPECT_EQ(table.count, 0u) << i;
  }
  // Cut before its last packed byte, 0x00: with IgnoreErrors the missing byte reads as zero, the check over the full
  // length holds and the file is registered; without, nothing is.
  Bytes packed(good.begin() + 10, good.end());
  packed.push_back(0);
  const uint16_t check = Crc16Of(packed.data(), static_cast<uint32_t>(packed.size()));
  const Bytes cut = Join(Join(HexBytes("01000000"), {uint8_t(check), uint8_t(check >> 8), 18, 0, 0, 0}),
                         Bytes(packed.begin(), packed.end() - 1));
  for (bool goOn : {false, true}) {
    ReadHeader(cut, &table, goOn, &position);
    EXPECT_EQ(table.count, goOn ? 1u : 0u);
  }
  ReleaseFileTable(&table);
}

// The mode in the reserved bytes is read only for an archive whose record says
// so; there a mode of no known type, a folder with data or a link without a
// target is damage.
TEST(SolidHeader, ModesOfUnixEntries) {
  struct Case { uint16_t mode; size_t size; bool valid; } cases[] = {
      {0, 3, true},       {0100600, 3, true},  {0040755, 0, true},  {0120777, 3, true},
      {0000644, 3, false}, {0060644, 3, false}, {0040755, 3, false}, {0120777, 0, false},
  };
  FileTable table{};
  for (const Case& c : cases) {
    const Bytes header = packer::WriteSolidHeader(std::vector<packer::PackFile>{{"n", Text(std::string(c.size, 'x')), 0, 0x20, c.mode}});
    for (bool unixModes : {false, true}) {
      Faults faults;
      ClearFaults(&faults, false);
      FILE* file = TempFileWith(header);
      const Result read = ReadSolidHeader(file, &table, &faults, unixModes);
      std::fclose(file);
      EXPECT_EQ(read.ok(), c.valid || !unixModes) << std::oct << c.mode << " " << unixModes;
      if (read.ok()) EXPECT_EQ(table.records[0].mode, unixModes ? c.mode : 0) << std::oct << c.mode;
    }
  }
  ReleaseFileTable(&table);
}

TEST(Expansion, HandMadeBlocks) {
  // w = 13, h = 1, m = 2, l = 3: D = 8259, the copy starts 8260 bytes back; the length 255 0x10 0x01 copies 0x0110 +
  // 4 bytes.
  const Bytes lead = RandomBytes(8300, 11);
  const Bytes block = HandBlock(std::string(8300, 'L') + "M", {{}, lead, {255, 0x10, 0x01}, {1}, {2}, {3}}, 13);
  Memory x = Expand(6, {8576}, block);
  EXPECT_EQ(x.Joined(), Join(lead, Bytes(lead.end() - 8260, lead.end() - 8260 + 276)));
  // w = 8, h = m = 255: D = 65535, the copy starts the whole window (W) back.
  const Bytes far = TextLikeBytes(65600, 12), near(far.begin() + 60000, far.end());
  x = Expand(1, {65700}, Join(HandBlock(std::string(60000, 'L'), {{}, Bytes(far.begin(), far.end() - 5600)}, 8, packer::BlockPlace::kMore),
                              HandBlock(std::string(5600, 'L') + "M", {{}, near, {96}, {255}, {255}}, 8)));
  EXPECT_EQ(x.Joined(), Join(far, Bytes(far.end() - 65536, far.end() - 65436)));
  // The second block flags a match without match streams, or a literal beyond its two: each stream is read as far
  // as its buffer goes (the literal buffer still holds "abc", the others zeros: a 4-byte match with D = 0).
  const Bytes abc = HandBlock("LLL", {{}, Text("abc")}, 8, packer::BlockPlace::kMore);
  x = Expand(1, {9}, Join(abc, HandBlock("LLM", {{}, Text("de")}, 8)));
  EXPECT_EQ(std::tuple(x.result.error, x.Joined()), std::tuple(kNoError, Text("abcdeeeee")));
  x = Expand(1, {10}, Join(abc, HandBlock("LLLM", {{}, Text("de")}, 8)));
  EXPECT_EQ(std::tuple(x.result.error, x.Joined()), std::tuple(kNoError, Text("abcdeccccc")));
  // A coded literal stream keeps its stored bytes past its decoded count: decoded count 0, stored XYZ12 (the CRC
  // chains the flag byte and four empty streams).
  Bytes coded = HandBlock("LLL", {{}, Text("XYZ12")}, 8);
  coded[0] |= 0x40;
  coded[19] = 0;
  uint32_t crc = 0xFFFFFFFFu;
  Crc32Update(&coded[18], 1, &crc);
  for (int i = 0; i < 4; ++i) Crc32Update(nullptr, 0, &crc);
  for (int i = 0; i < 4; ++i) coded[6 + i] = static_cast<uint8_t>(crc >> 8 * i);
  EXPECT_EQ(Expand(1, {3}, coded).Joined(), Text("XYZ"));
  // Data beyond the last file, and data that ends before it.
  EXPECT_EQ(Expand(1, {3}, HandBlock("LLLL", {{}, Text("abcd")}, 8)).result.error, kErrorInconsistent);
  EXPECT_EQ(Expand(1, {3, 2}, HandBlock("LLLL", {{}, Text("abcd")}, 8)).result.error, kErrorEndOfArchive);
}

TEST(Expansion, FilesAcrossWindowFlushesAndFailingWrites) {
  // Profile 0 (W = 32,768): a file ending exactly at the first flush, one spanning three flushes, an empty one and a
  // short tail.
  const Bytes data = Join(RandomBytes(32768, 21), TextLikeBytes(70000, 22));
  const Bytes blocks = packer::WriteDataBlocks(data, 0, 6);
  const std::vector<uint32_t> sizes = {32768, 69990, 0, 10};
  Memory x = Expand(0, sizes, blocks);
  EXPECT_EQ(std::tuple(x.result.error, x.ends, x.data[0].size()), std::tuple(kNoError, "FFFF", 32768u));
  EXPECT_EQ(x.Joined(), data);
  // A failing write removes the file and ends the expansion; a run that goes on closes it as it stands and writes the
  // files after it.
  x = Expand(0, sizes, blocks, false, 1);
  EXPECT_EQ(std::tuple(x.result.error, x.fault.systemError, x.ends), std::tuple(kErrorWriteFailed, 28, "FR"));
  x = Expand(0, sizes, blocks, true, 1);
  EXPECT_EQ(std::tuple(x.result.error, x.fault.error, x.ends), std::tuple(kNoError, kErrorWriteFailed, "FPFF"));
  EXPECT_EQ(x.data[3], Bytes(data.end() - 10, data.end()));
  // An empty stream is one empty last block; empty files are still made.
  EXPECT_EQ(Expand(3, {0, 0}, packer::WriteDataBlocks({}, 3, 5)).ends, "FF");
}

TEST(MatchCoder, RoundTripEveryProfileAndParser) {
  // Noise, the longest possible runs, text, repeats of every short period (copies that overlap themselves) and a far
  // copy of the noise: matches reach into earlier blocks and across the window end; w = 7 can code only multiples of
  // 128. Levels: greedy, lazy and priced parsing (hash chains and trees).
  const Bytes noise = RandomBytes(70000, 41);
  Bytes data = Join(Join(noise, Bytes(3 * (kMinMatch + 0xFFFF) + 5, 'r')), TextLikeBytes(30000, 42));
  for (uint32_t i = 0; i < 40000; ++i) data.push_back(static_cast<uint8_t>('a' + i % (2 + i / 2000)));
  data = Join(data, noise);
  for (int profile = 0; profile < 9; ++profile) {
    for (int level : {1, 3 + profile % 4, 7 + profile % 3}) {
      const Bytes blocks = packer::WriteDataBlocks(data, profile, level);
      const Memory x = Expand(profile, {100000, static_cast<uint32_t>(data.size() - 100000)}, blocks);
      EXPECT_EQ(std::tuple(x.result.error, x.Joined()), std::tuple(kNoError, data)) << profile << " level " << level;
      // The far copy of the noise costs little once the window holds it.
      if (profile == 8) EXPECT_LT(blocks.size(), data.size() / 2) << "level " << level;
    }
  }
  // The same incompressible file twice, behind other noise, at offsets 0 to 63 modulo 64: however sparsely the
  // search steps through noise, the second copy is found.
  const Bytes other = RandomBytes(70000, 43);
  for (size_t lead = 0; lead < 64; lead += 7) {
    const Bytes twice = Join(Join(Join(Bytes(lead, 'x'), other), noise), noise);
    for (int level : {1, 6, 9}) {
      const Bytes blocks = packer::WriteDataBlocks(twice, 8, level);
      EXPECT_LT(blocks.size(), (other.size() + noise.size()) * 11 / 10) << "lead " << lead << " level " << level;
    }
  }
}

}  // namespace
