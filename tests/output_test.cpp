// Solid header, file table and window expansion: fixed vectors, the encoders
// against the stub's readers, and damaged input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "output/output.h"
#include "packer/packer.h"
#include "startup/startup.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Join(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }

constexpr uint32_t kIgnoreErrorsWord = 1u << kIgnoreErrors;
constexpr uint32_t kStoredTime = 946684800;

void OpenArchiveBytes(const Bytes& bytes) {
  if (gContainer.archive) fclose(gContainer.archive);
  gContainer.archive = TempFileWith(bytes);
}

// Decoder memory for one size profile, owned by the tests (the stub's own
// set-up happens once per process and keeps its first window size).
void SetProfile(int profile) {
  static std::vector<void*> owned;
  for (void* p : owned) free(p);
  owned.clear();
  auto take = [&](size_t n) { owned.push_back(calloc(n, 1)); return owned.back(); };
  gDecoder.profileIndex = static_cast<uint8_t>(profile);
  gDecoder.windowSize = 32768u << profile;
  gDecoder.minMatch = kMinMatch;
  gDecoder.distanceWidth = static_cast<uint16_t>(7 + profile);
  gDecoder.window = static_cast<uint8_t*>(take(2 * gDecoder.windowSize));
  for (uint8_t** s : {&gDecoder.flagStream, &gDecoder.lengthStream, &gDecoder.literalStream, &gDecoder.highStream,
                      &gDecoder.middleStream, &gDecoder.modelInput, &gDecoder.modelOutput})
    *s = static_cast<uint8_t*>(take(kStreamBufferSize));
  gDecoder.lowBitTable = static_cast<uint16_t*>(take(2 * kStreamBufferSize));
}

using Stored = std::pair<std::string, uint32_t>;  // stored name and size

// Registers the files, expands `blocks` with BeginFiles into a fresh folder
// and returns the folder (files are found by their stored names).
std::string Expand(int profile, const std::vector<Stored>& files, const Bytes& blocks) {
  SetProfile(profile);
  InitFileTable();
  // Stored times are applied only by the expansion's FinishFile, so a file's
  // time tells whether it was finished there.
  for (uint32_t i = 0; i < files.size(); ++i)
    RegisterFile(i, files[i].first.c_str(), files[i].second, kStoredTime + i, 0x20);
  gFiles.count = static_cast<uint32_t>(files.size());
  const std::string dir = MakeTempDir("expand");
  snprintf(gStartup.tempFolder, sizeof gStartup.tempFolder, "%s", dir.c_str());
  gContainer.options.optionWord = kIgnoreErrorsWord | (1u << kKeepOriginalFileAttrib);
  gOverwriteAll = 1;
  OpenArchiveBytes(blocks);
  BeginFiles();
  FinishFile(gExpand.outputFile, 0, 0);  // as the driver: close an incomplete file
  return dir;
}

Bytes Read(const std::string& dir, const std::string& name) { return ReadFileBytes(dir + "/" + name); }

// True when the expansion finished file `index` (its stored time was applied).
bool Finished(const std::string& dir, const std::string& name, uint32_t index) {
  struct stat st;
  return stat((dir + "/" + name).c_str(), &st) == 0 && st.st_mtime == kStoredTime + index;
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

// ---- the context splay coder --------------------------------------------------

// Unpacks into room for `room` bytes; the byte behind that room must stay.
Bytes Unpack(const Bytes& packed, uint32_t room) {
  Bytes out(room + 1, 0xEE);
  const uint32_t n = UnpackHeader(static_cast<uint32_t>(packed.size()), packed.data(), out.data(), room);
  EXPECT_EQ(out[room], 0xEE);
  out.resize(n);
  return out;
}

TEST(SplayCoder, FixedVectorsAndRoundTrips) {
  EXPECT_EQ(packer::PackHeaderBytes(Text("abc")), HexBytes("86 46 C6"));
  EXPECT_EQ(Unpack(HexBytes("86 46 C6"), 64), Text("abc"));
  EXPECT_EQ(packer::PackHeaderBytes(Text("abab")), HexBytes("86 46 86 05"));
  EXPECT_EQ(Unpack(HexBytes("86 46 86 05"), 64), Text("abab"));

  const Bytes inputs[] = {TextLikeBytes(5000, 1), RandomBytes(3000, 2), Bytes(4000, 0),
                          Join(Bytes(700, 0xFF), RandomBytes(300, 3))};
  for (const Bytes& in : inputs) {
    const Bytes packed = packer::PackHeaderBytes(in);
    const uint32_t n = static_cast<uint32_t>(in.size());
    // Padding bits of the last byte may decode a few extra symbols, never fewer.
    Bytes out = Unpack(packed, n + 16);
    ASSERT_GE(out.size(), n);
    EXPECT_LE(out.size(), n + 7);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
    // A smaller output buffer stops the unpacking exactly at its end.
    EXPECT_EQ(Unpack(packed, n / 3), Bytes(in.begin(), in.begin() + n / 3));
  }
}

// ---- solid header and file table ------------------------------------------------

const char kOneFileHeader[] =
    "01 00 00 00 85 85 11 00 00 00 01 C2 B6 1C C0 00 01 7E 97 00 20 A3 87 74 2E 1E 2E";

TEST(SolidHeader, FixedVectorsAndRoundTrips) {
  const std::vector<packer::PackFile> one = {{"a.txt", Text("abc"), kStoredTime}};
  EXPECT_EQ(packer::WriteSolidHeader(one), HexBytes(kOneFileHeader));
  EXPECT_EQ(packer::WriteSolidHeader({}), HexBytes("00000000 0000 00000000"));
  std::vector<packer::PackFile> many(40);
  for (uint32_t i = 0; i < many.size(); ++i)
    many[i] = {"Files\\TemporaryPathForDOLM\\dir\\" + std::to_string(i) + std::string(i * 5, 'x'),
               RandomBytes(i, 7), 1000000000u + i, static_cast<uint8_t>(i)};
  many[39].name = std::string(255, 'n');
  InitFileTable();
  for (const auto& files : {std::vector<packer::PackFile>{}, one, many}) {
    const Bytes header = packer::WriteSolidHeader(files);
    OpenArchiveBytes(Join(header, {0x5A}));  // what follows the header stays unread
    ASSERT_EQ(ReadSolidHeader(), 0);
    ASSERT_EQ(gFiles.count, files.size());
    EXPECT_EQ(ftell(gContainer.archive), static_cast<long>(header.size()));
    for (uint32_t i = 0; i < files.size(); ++i) {
      const FileRecord& f = gFiles.records[i];
      EXPECT_EQ(f.name, files[i].name);
      EXPECT_TRUE(f.size == files[i].data.size() && f.time == files[i].time && f.attributes == files[i].attributes);
    }
  }
}

// Each damaged header registers nothing and fails; with IgnoreErrors clear the
// process ends with error 6.
TEST(SolidHeader, DamageIsRefusedAsErrorSix) {
  const Bytes good = HexBytes(kOneFileHeader);
  std::vector<Bytes> cases;
  for (size_t at : {10, 11, 19, 26, 5}) {  // packed bytes, then the check
    cases.push_back(good);
    cases.back()[at] ^= static_cast<uint8_t>(1u << (at % 8));
  }
  cases.push_back(Bytes(good.begin(), good.end() - 3));   // truncated packed bytes
  cases.push_back(Bytes(good.begin(), good.begin() + 8)); // truncated length
  cases.push_back(good);  // count beyond the entries (the check covers the packed bytes only)
  cases.back()[0] = 2;
  cases.push_back(HexBytes("01000000 0000 15010000"));  // packed length 277 > 1 x 276
  cases.back().resize(cases.back().size() + 277);
  cases.push_back(good);  // a count of 14.9 million files behind 17 packed bytes
  cases.back()[0] = 0x05, cases.back()[1] = 0xE8, cases.back()[2] = 0xE3;

  InitFileTable();
  for (size_t i = 0; i < cases.size(); ++i) {
    gContainer.options.optionWord = kIgnoreErrorsWord;
    gFiles.count = 5;
    OpenArchiveBytes(cases[i]);
    EXPECT_EQ(ReadSolidHeader(), 1) << i;
    EXPECT_EQ(gFiles.count, 0u) << i;
  }
  gContainer.options.optionWord = 0;
  OpenArchiveBytes(cases[0]);
  EXPECT_EXIT(ReadSolidHeader(), testing::ExitedWithCode(0), "Error #6\nError melting file names !");
}

TEST(FileTable, GrowsOnlyPastCapacityLessTen) {
  InitFileTable();
  ASSERT_EQ(gFiles.capacity, 3000u);
  RegisterFile(0, "first", 1, 2, 3);
  RegisterFile(2990, "x", 0, 0, 0);
  EXPECT_EQ(gFiles.capacity, 3000u);
  RegisterFile(2991, std::string(300, 'y').c_str(), 9, 8, 7);
  EXPECT_EQ(gFiles.capacity, 5000u);
  EXPECT_STREQ(gFiles.records[0].name, "first");
  EXPECT_EQ(strlen(gFiles.records[2991].name), 259u);
  EXPECT_EQ(gFiles.records[2991].size, 9u);
}

// ---- window expansion -------------------------------------------------------------

TEST(Expansion, HandMadeBlocks) {
  // Three files 5/0/3 in the one final flush.
  std::string dir = Expand(1, {{"a", 5}, {"b", 0}, {"c", 3}}, HandBlock("LLLLLLLL", {{}, Text("HelloXYZ")}, 8));
  EXPECT_EQ(Read(dir, "a"), Text("Hello"));
  EXPECT_EQ(Read(dir, "b"), Bytes());
  EXPECT_EQ(Read(dir, "c"), Text("XYZ"));
  EXPECT_TRUE(Finished(dir, "a", 0) && Finished(dir, "b", 1) && Finished(dir, "c", 2));

  // D = 0 repeats the last byte; 255 0x10 0x01 copies 0x0110 + 4 bytes.
  dir = Expand(6, {{"run", 1 + 6 + 276 + 1}},
               HandBlock("LMML", {{}, Text("xz"), {2, 255, 0x10, 0x01}, {0, 0}, {0, 0}, {0, 0}}, 13));
  EXPECT_EQ(Read(dir, "run"), Join(Bytes(283, 'x'), Text("z")));

  // w = 13, h = 1, m = 2, l = 3: D = 8259, the copy starts 8260 bytes back.
  const Bytes lead = RandomBytes(8300, 11);
  dir = Expand(6, {{"far", 8304}}, HandBlock(std::string(8300, 'L') + "M", {{}, lead, {0}, {1}, {2}, {3}}, 13));
  EXPECT_EQ(Read(dir, "far"), Join(lead, Bytes(lead.end() - 8260, lead.end() - 8256)));

  // w = 7: the middle byte adds nothing; h = 1 means D = 128.
  const Bytes lead7(lead.begin(), lead.begin() + 200);
  dir = Expand(0, {{"w7", 204}}, HandBlock(std::string(200, 'L') + "M", {{}, lead7, {0}, {1}, {0xFF}}, 7));
  EXPECT_EQ(Read(dir, "w7"), Join(lead7, Bytes(lead7.end() - 129, lead7.end() - 125)));

  // The second block flags a match but carries no match streams: the literals
  // before it are written and nothing beyond.
  dir = Expand(1, {{"part", 10}, {"never", 1}},
               Join(HandBlock("LLL", {{}, Text("abc")}, 8, false), HandBlock("LLM", {{}, Text("de")}, 8)));
  EXPECT_EQ(Read(dir, "part"), Text("abcde"));
  EXPECT_FALSE(Finished(dir, "part", 0));
  EXPECT_NE(FirstReportedError(), -1);
  EXPECT_THROW(Read(dir, "never"), std::runtime_error);
}

TEST(Expansion, FilesAcrossWindowFlushes) {
  // Profile 0 (W = 32,768): a file ending exactly at the first flush, one
  // spanning three flushes, an empty one and a short tail.
  const Bytes data = Join(RandomBytes(32768, 21), TextLikeBytes(70000, 22));
  const std::vector<Stored> files = {{"edge", 32768}, {"big", 69990}, {"empty", 0}, {"tail", 10}};
  const std::string dir = Expand(0, files, packer::WriteDataBlocks(data, 0, 6));
  size_t offset = 0;
  for (uint32_t i = 0; i < files.size(); offset += files[i++].second) {
    EXPECT_EQ(Read(dir, files[i].first), Bytes(data.begin() + offset, data.begin() + offset + files[i].second)) << i;
    EXPECT_TRUE(Finished(dir, files[i].first, i)) << i;
  }
  // An empty stream is one empty last block; the first file is still created
  // (a final flush of no bytes finishes nothing, so the driver closes it).
  EXPECT_EQ(Read(Expand(3, {{"nothing", 0}}, packer::WriteDataBlocks({}, 3, 5)), "nothing"), Bytes());
}

// ---- expansion copy paths ------------------------------------------------------

// Random items for one size profile written as blocks of about 4000 items,
// and the bytes they stand for made by the plain rule: a window of W zero
// bytes, every byte of a match copied one at a time from back = D + 1 bytes
// behind. Returns the blocks; `expected` receives the bytes.
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
      for (uint32_t n = 1 + next(20); n > 0; --n, items += 'L') {
        s.literals.push_back(static_cast<uint8_t>(next(4) + 'a'));
        put(s.literals.back());
      }
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
      const Bytes got = Read(Expand(profile, {{"out", static_cast<uint32_t>(expected.size())}}, blocks), "out");
      EXPECT_TRUE(got == expected) << "profile " << profile << " seed " << seed;
    }
  }
}

// ---- the match coder against the expansion -------------------------------------

TEST(MatchCoder, RoundTripEveryProfileAndParser) {
  // Noise, the longest possible runs, text and a far copy of the noise:
  // matches reach into earlier blocks and the data passes the smallest
  // windows; w = 7 can code only multiples of 128. Levels: greedy, lazy and
  // priced parsing.
  const Bytes noise = RandomBytes(70000, 41);
  Bytes data = Join(noise, Bytes(3 * (kMinMatch + 0xFFFF) + 5, 'r'));
  data = Join(Join(data, TextLikeBytes(30000, 42)), noise);
  for (int profile = 0; profile < 9; ++profile) {
    for (int level : {1, 3 + profile % 4, 9}) {
      const Bytes blocks = packer::WriteDataBlocks(data, profile, level);
      const std::string dir = Expand(profile, {{"one", 100000}, {"two", static_cast<uint32_t>(data.size() - 100000)}},
                                     blocks);
      EXPECT_TRUE(Join(Read(dir, "one"), Read(dir, "two")) == data) << profile << " level " << level;
      // The far copy of the noise costs little once the window holds it.
      if (profile == 8) EXPECT_LT(blocks.size(), data.size() / 2) << "level " << level;
    }
  }
}

TEST(MatchCoder, BlocksStayInsideAndNearTheLimits) {
  // Noise is all literals: each block's literal stream is cut close to the
  // longest stored stream. Short repeats give many matches per block. The
  // reader refuses any stream or count beyond the limits.
  const Bytes noise = RandomBytes(200000, 51);
  Bytes repeats;
  for (uint32_t i = 0; repeats.size() < 600000; ++i) repeats = Join(repeats, TextLikeBytes(6 + i % 5, i % 300));
  for (const auto& [data, level] : {std::pair(noise, 9), std::pair(repeats, 1), std::pair(repeats, 9)}) {
    const Bytes blocks = packer::WriteDataBlocks(data, 6, level);
    EXPECT_TRUE(Read(Expand(6, {{"d", static_cast<uint32_t>(data.size())}}, blocks), "d") == data) << level;
  }
  OpenArchiveBytes(packer::WriteDataBlocks(noise, 6, 1));
  size_t count = 1;
  while (ReadBlock() == 0 && gBlock.lastBits <= 8) ++count;
  EXPECT_EQ(count, (noise.size() + kMaxStoredLength - 1) / kMaxStoredLength);
}

}  // namespace
