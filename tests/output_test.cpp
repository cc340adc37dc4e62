// Solid header and window expansion: fixed vectors, the encoders against the
// stub's readers, damaged input and failing output.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "container/format.h"
#include "packer/packer.h"
#include "startup/startup.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Join(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }

// The output interface into memory: each file's bytes and how it ended ('F'
// finished whole, 'P' closed part-way, 'R' removed). Writes to file
// `failing` fail as on a full disk.
struct Memory {
  std::vector<Bytes> data;
  std::string ends;
  uint32_t failing;
  Faults* faults;
  Bytes Joined() const {
    Bytes all;
    for (const Bytes& d : data) all = Join(all, d);
    return all;
  }
};

OutputSink MemorySink(Memory* m) {
  return {m,
          [](void* s, uint32_t, const FileRecord&, bool* write) {
            static_cast<Memory*>(s)->data.emplace_back(), static_cast<Memory*>(s)->ends += ' ';
            return *write = true, kOk;
          },
          [](void* s, const uint8_t* bytes, uint32_t count) {
            Memory& m = *static_cast<Memory*>(s);
            if (m.data.size() - 1 == m.failing) return NoteFault(m.faults, kErrorWriteFailed, "f", -1, 28);
            m.data.back().insert(m.data.back().end(), bytes, bytes + count);
            return kOk;
          },
          [](void* s, uint32_t index, const FileRecord&, bool complete) {
            return static_cast<Memory*>(s)->ends[index] = complete ? 'F' : 'P', kOk;
          },
          [](void* s) { static_cast<Memory*>(s)->ends.back() = 'R'; }};
}

struct Expanded {
  Result result;
  Fault fault;
  Memory out;
};

// Expands `blocks` into files of the given sizes as an inspection does (the
// data must then fill the files exactly).
Expanded Expand(int profile, const std::vector<uint32_t>& sizes, const Bytes& blocks, bool goOn = false,
                uint32_t failing = ~0u) {
  auto run = std::make_unique<StubRun>();
  ClearFaults(&run->faults, goOn);
  EXPECT_TRUE(LoadSizeProfile(&run->engine, static_cast<uint8_t>(profile), &run->faults).ok());
  std::vector<FileRecord> records(sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) records[i].size = sizes[i];
  run->files = {records.data(), static_cast<uint32_t>(sizes.size()), static_cast<uint32_t>(sizes.size())};
  run->archive.file = TempFileWith(blocks);
  Expanded x{kOk, {}, {{}, "", failing, &run->faults}};
  x.result = ExpandInto(run.get(), MemorySink(&x.out));
  x.fault = run->faults.first;
  CloseArchive(&run->archive);
  ReleaseDecoderMemory(&run->engine);
  return x;
}

// One block written by hand: `items` holds 'L' (literal) and 'M' (match) in
// flag order; the flag stream of `s` is made from it.
Bytes HandBlock(const std::string& items, packer::BlockStreams s, int width, bool last = true) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (i % 8 == 0) s.flags.push_back(0);
    if (items[i] == 'L') s.flags.back() = static_cast<uint8_t>(s.flags.back() | (1u << (i % 8)));
  }
  s.itemsInLastFlagByte = static_cast<uint32_t>(items.size() % 8);
  Bytes out;
  EXPECT_TRUE(packer::WriteBlock(s, width, last, out));
  return out;
}

// Unpacks into room for `room` bytes; the byte behind that room must stay.
Bytes Unpack(const Bytes& packed, uint32_t room) {
  std::vector<SplayTree> pool(256);
  std::vector<SplayTree*> trees;
  for (SplayTree& t : pool) trees.push_back(&t);
  Bytes out(room + 1, 0xEE);
  const uint32_t n = UnpackHeader(static_cast<uint32_t>(packed.size()), packed.data(), out.data(), room, trees.data());
  EXPECT_EQ(out[room], 0xEE);
  out.resize(n);
  return out;
}

TEST(SplayCoder, FixedVectorsAndRoundTrips) {
  for (const char* text : {"abc", "abab"}) EXPECT_EQ(Unpack(packer::PackHeaderBytes(Text(text)), 64), Text(text));
  EXPECT_EQ(packer::PackHeaderBytes(Text("abab")), HexBytes("86 46 86 05"));
  for (const Bytes& in : {TextLikeBytes(5000, 1), RandomBytes(3000, 2), Bytes(4000, 0),
                          Join(Bytes(700, 0xFF), RandomBytes(300, 3))}) {
    const Bytes packed = packer::PackHeaderBytes(in);
    const uint32_t n = static_cast<uint32_t>(in.size());
    // Padding bits of the last byte may decode a few extra symbols, never fewer.
    const Bytes out = Unpack(packed, n + 16);
    EXPECT_TRUE(out.size() >= n && out.size() <= n + 7 && std::equal(in.begin(), in.end(), out.begin()));
    // A smaller output buffer stops the unpacking exactly at its end.
    EXPECT_EQ(Unpack(packed, n / 3), Bytes(in.begin(), in.begin() + n / 3));
  }
}

const char kOneFileHeader[] = "01 00 00 00 85 85 11 00 00 00 01 C2 B6 1C C0 00 01 7E 97 00 20 A3 87 74 2E 1E 2E";

// Reads a solid header from `bytes` into a table that held 5 files; the
// error number, and in *position where the file was left.
int ReadHeader(const Bytes& bytes, FileTable* files, bool goOn, long* position = nullptr) {
  Faults faults;
  ClearFaults(&faults, goOn);
  files->count = 5;
  FILE* file = TempFileWith(bytes);
  const Result r = ReadSolidHeader(file, files, &faults);
  if (position) *position = std::ftell(file);
  std::fclose(file);
  EXPECT_EQ(faults.first.error, r.error);
  return r.error;
}

TEST(SolidHeader, FixedVectorsAndRoundTrips) {
  const std::vector<packer::PackFile> one = {{"a.txt", Text("abc"), 946684800}};
  EXPECT_EQ(packer::WriteSolidHeader(one), HexBytes(kOneFileHeader));
  EXPECT_EQ(packer::WriteSolidHeader({}), HexBytes("00000000 0000 00000000"));
  // Long names, and more files than the table's first 3000 records.
  std::vector<packer::PackFile> many(40), lots(4000);
  for (uint32_t i = 0; i < many.size(); ++i)
    many[i] = {"Files\\" DOLM_TEMP_MARKER + std::to_string(i) + std::string(i * 5, 'x'), RandomBytes(i, 7),
               1000000000u + i, static_cast<uint8_t>(i)};
  many[39].name = std::string(255, 'n');
  for (uint32_t i = 0; i < lots.size(); ++i) lots[i] = {std::to_string(i), {}, i, 0x20};
  FileTable table{};
  for (const auto& files : {std::vector<packer::PackFile>{}, one, many, lots}) {
    const Bytes header = packer::WriteSolidHeader(files);
    long position = 0;
    ASSERT_EQ(ReadHeader(Join(header, {0x5A}), &table, false, &position), kNoError);  // what follows stays unread
    ASSERT_EQ(table.count, files.size());
    EXPECT_EQ(position, static_cast<long>(header.size()));
    for (uint32_t i = 0; i < files.size(); ++i) {
      const FileRecord& f = table.records[i];
      ASSERT_TRUE(f.name == files[i].name && f.size == files[i].data.size() && f.time == files[i].time &&
                  f.attributes == files[i].attributes) << i;
    }
  }
  ReleaseFileTable(&table);
}

TEST(SolidHeader, DamageIsRefusedAsErrorSix) {
  const Bytes good = HexBytes(kOneFileHeader);
  std::vector<Bytes> cases = {
      Bytes(good.begin(), good.end() - 3),    // truncated packed bytes
      Bytes(good.begin(), good.begin() + 8),  // truncated length
      Join(HexBytes("01000000 0000 15010000"), Bytes(277, 0)),  // packed length 277 > 1 x 276
      Join(HexBytes("02"), Bytes(good.begin() + 1, good.end())),  // count beyond the entries
      Join(HexBytes("05E8E3"), Bytes(good.begin() + 3, good.end())),  // 14.9 million files, 17 packed bytes
  };
  for (size_t at : {10, 11, 19, 26, 5}) {  // packed bytes, then the check
    cases.push_back(good);
    cases.back()[at] ^= static_cast<uint8_t>(1u << (at % 8));
  }
  FileTable table{};
  for (size_t i = 0; i < cases.size(); ++i) {
    for (bool goOn : {false, true}) {
      EXPECT_EQ(ReadHeader(cases[i], &table, goOn), kErrorMeltingNames) << i;
      EXPECT_EQ(table.count, 0u) << i;
    }
  }
  ReleaseFileTable(&table);
}

TEST(Expansion, HandMadeBlocks) {
  // Three files 5/0/3 in the one final flush.
  Expanded x = Expand(1, {5, 0, 3}, HandBlock("LLLLLLLL", {{}, Text("HelloXYZ")}, 8));
  EXPECT_TRUE(x.out.data == (std::vector<Bytes>{Text("Hello"), {}, Text("XYZ")}) && x.out.ends == "FFF");
  // D = 0 repeats the last byte; 255 0x10 0x01 copies 0x0110 + 4 bytes.
  x = Expand(6, {284}, HandBlock("LMML", {{}, Text("xz"), {2, 255, 0x10, 0x01}, {0, 0}, {0, 0}, {0, 0}}, 13));
  EXPECT_EQ(x.out.Joined(), Join(Bytes(283, 'x'), Text("z")));
  // w = 13, h = 1, m = 2, l = 3: D = 8259, the copy starts 8260 bytes back.
  const Bytes lead = RandomBytes(8300, 11), lead7(lead.begin(), lead.begin() + 200);
  x = Expand(6, {8304}, HandBlock(std::string(8300, 'L') + "M", {{}, lead, {0}, {1}, {2}, {3}}, 13));
  EXPECT_EQ(x.out.Joined(), Join(lead, Bytes(lead.end() - 8260, lead.end() - 8256)));
  // w = 7: the middle byte adds nothing; h = 1 means D = 128.
  x = Expand(0, {204}, HandBlock(std::string(200, 'L') + "M", {{}, lead7, {0}, {1}, {0xFF}}, 7));
  EXPECT_EQ(x.out.Joined(), Join(lead7, Bytes(lead7.end() - 129, lead7.end() - 125)));
  // The second block flags a match but carries no match streams: error 2. A
  // run that goes on writes the literals before it, and nothing beyond.
  const Bytes damaged = Join(HandBlock("LLL", {{}, Text("abc")}, 8, false), HandBlock("LLM", {{}, Text("de")}, 8));
  for (bool goOn : {false, true}) {
    x = Expand(1, {10, 1}, damaged, goOn);
    EXPECT_TRUE(x.result.error == kErrorDamaged && x.fault.error == kErrorDamaged);
    EXPECT_EQ(x.out.data, std::vector<Bytes>{goOn ? Text("abcde") : Bytes{}});
  }
  // Data beyond the last file, and data that ends before it.
  EXPECT_EQ(Expand(1, {3}, HandBlock("LLLL", {{}, Text("abcd")}, 8)).result.error, kErrorInconsistent);
  EXPECT_EQ(Expand(1, {3, 2}, HandBlock("LLLL", {{}, Text("abcd")}, 8)).result.error, kErrorEndOfArchive);
}

TEST(Expansion, FilesAcrossWindowFlushesAndFailingWrites) {
  // Profile 0 (W = 32,768): a file ending exactly at the first flush, one
  // spanning three flushes, an empty one and a short tail.
  const Bytes data = Join(RandomBytes(32768, 21), TextLikeBytes(70000, 22));
  const Bytes blocks = packer::WriteDataBlocks(data, 0, 6);
  const std::vector<uint32_t> sizes = {32768, 69990, 0, 10};
  Expanded x = Expand(0, sizes, blocks);
  EXPECT_TRUE(x.result.ok() && x.out.Joined() == data && x.out.ends == "FFFF");
  for (size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(x.out.data[i].size(), sizes[i]);
  // A failing write removes the file and ends the expansion; a run that goes
  // on closes it as it stands and writes the files after it.
  x = Expand(0, sizes, blocks, false, 1);
  EXPECT_TRUE(x.result.error == kErrorWriteFailed && x.fault.systemError == 28 && x.out.ends == "FR");
  x = Expand(0, sizes, blocks, true, 1);
  EXPECT_TRUE(x.result.ok() && x.fault.error == kErrorWriteFailed && x.out.ends == "FPFF");
  EXPECT_EQ(x.out.data[3], Bytes(data.end() - 10, data.end()));
  // An empty stream is one empty last block; empty files are still made.
  EXPECT_EQ(Expand(3, {0, 0}, packer::WriteDataBlocks({}, 3, 5)).out.ends, "FF");
}

// Random items for one size profile written as blocks of about 4000 items,
// and in `expected` the bytes they stand for by the plain rule: a window of W
// zero bytes, every byte of a match copied one at a time from back = D + 1
// bytes behind.
Bytes MakeScript(int profile, size_t outputSize, uint32_t seed, Bytes& expected) {
  const uint32_t window = 32768u << profile, width = 7 + profile;
  auto next = [&seed](uint32_t n) { seed = seed * 1103515245u + 12345u; return (seed >> 8) % n; };
  // Small gaps (byte and memset paths), gaps around the 8-byte step, far
  // gaps that wrap around the window, and the whole window (back = W).
  const uint32_t kBacks[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 100, 4096};
  Bytes ring(window, 0), blocks;
  uint32_t p = 0;
  std::string items;
  packer::BlockStreams s;
  auto put = [&](uint8_t b) { expected.push_back(ring[p] = b); p = (p + 1) % window; };
  while (expected.size() < outputSize) {
    if (next(3) == 0) {
      for (uint32_t n = 1 + next(20); n > 0; --n, items += 'L') put(s.literals.emplace_back(next(4) + 'a'));
    } else {
      const uint32_t kind = next(4), size = next(8);
      uint32_t back = kind == 0 ? kBacks[next(11)] : kind == 1 ? window - next(64) : kind == 2 ? window : 1 + next(window);
      if (width == 7) back = ((back - 1) & ~127u) + 1;  // only multiples of 128 can be coded
      const uint32_t length = size == 0 ? kMinMatch + 0xFFFF : size < 3 ? 4 + next(2000) : 4 + next(40);
      for (uint32_t n = 0; n < length; ++n) put(ring[(p + window - back) % window]);
      const uint32_t d = back - 1, code = length - kMinMatch;
      if (code < kLengthEscape) s.lengths.push_back(static_cast<uint8_t>(code));
      else s.lengths.insert(s.lengths.end(), {255, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)});
      items += 'M';
      s.high.push_back(static_cast<uint8_t>(d >> width));
      s.middle.push_back(width >= 8 ? static_cast<uint8_t>(d >> (width - 8)) : 0);
      if (width > 8) s.low.push_back(static_cast<uint16_t>(d & ((1u << (width - 8)) - 1)));
    }
    if (items.size() >= 4000 || expected.size() >= outputSize) {
      blocks = Join(blocks, HandBlock(items, s, static_cast<int>(width), expected.size() >= outputSize));
      items.clear();
      s = packer::BlockStreams();
    }
  }
  return blocks;
}

TEST(Expansion, CopyPathsMatchTheByteRule) {
  // Profiles 0 to 2 keep W small, so the output passes the window end many
  // times and matches start or end across it.
  for (int profile = 0; profile < 3; ++profile) {
    for (uint32_t seed : {1u, 2u}) {
      Bytes expected;
      const Bytes blocks = MakeScript(profile, (32768u << profile) * 5, seed * 10 + profile, expected);
      EXPECT_TRUE(Expand(profile, {static_cast<uint32_t>(expected.size())}, blocks).out.Joined() == expected)
          << "profile " << profile << " seed " << seed;
    }
  }
}

TEST(MatchCoder, RoundTripEveryProfileParserAndBlockLimit) {
  // Noise, the longest possible runs, text and a far copy of the noise:
  // matches reach into earlier blocks and the data passes the smallest
  // windows; w = 7 can code only multiples of 128. Levels: greedy, lazy and
  // priced parsing.
  const Bytes noise = RandomBytes(200000, 41), head(noise.begin(), noise.begin() + 70000);
  const Bytes data = Join(Join(Join(head, Bytes(3 * (kMinMatch + 0xFFFF) + 5, 'r')), TextLikeBytes(30000, 42)), head);
  for (int profile = 0; profile < 9; ++profile) {
    for (int level : {1, 3 + profile % 4, 9}) {
      const Bytes blocks = packer::WriteDataBlocks(data, profile, level);
      const Expanded x = Expand(profile, {100000, static_cast<uint32_t>(data.size() - 100000)}, blocks);
      EXPECT_TRUE(x.result.ok() && x.out.Joined() == data) << profile << " level " << level;
      // The far copy of the noise costs little once the window holds it.
      if (profile == 8) EXPECT_LT(blocks.size(), data.size() / 2) << "level " << level;
    }
  }
  // Noise is all literals: each block's literal stream is cut close to the
  // longest stored stream. Short repeats give many matches per block.
  Bytes repeats;
  for (uint32_t i = 0; repeats.size() < 600000; ++i) repeats = Join(repeats, TextLikeBytes(6 + i % 5, i % 300));
  for (const auto& [in, level] : {std::pair(noise, 1), std::pair(repeats, 1), std::pair(repeats, 9)}) {
    const Bytes blocks = packer::WriteDataBlocks(in, 6, level);
    EXPECT_TRUE(Expand(6, {static_cast<uint32_t>(in.size())}, blocks).out.Joined() == in) << level;
    if (in.size() != noise.size()) continue;
    // The noise takes the fewest blocks that the longest stored stream allows.
    Engine engine{};
    BlockState block{};
    Faults faults{};
    ASSERT_TRUE(LoadSizeProfile(&engine, 6, &faults).ok());
    FILE* file = TempFileWith(blocks);
    size_t count = 1;
    while (ReadBlock(file, &engine, &block, &faults).ok() && block.lastBits <= 8) ++count;
    EXPECT_EQ(count, (noise.size() + kMaxStoredLength - 1) / kMaxStoredLength);
    std::fclose(file);
    ReleaseDecoderMemory(&engine);
  }
}

}  // namespace
