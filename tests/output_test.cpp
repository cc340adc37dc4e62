// Solid header, file table and window expansion: fixed vectors, the encoders
// against the stub's readers, and damaged input.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; *p;) {
    if (*p == ' ') { ++p; continue; }
    out.push_back(static_cast<uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    p += 2;
  }
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

constexpr uint32_t kIgnoreErrorsWord = 1u << kIgnoreErrors;
constexpr uint32_t kStoredTime = 946684800;

// Points the container's archive stream at a file holding `bytes`.
void OpenArchiveBytes(const Bytes& bytes) {
  static const std::string dir = MakeTempDir("output-archive");
  static int serial = 0;
  const std::string path = dir + "/a" + std::to_string(serial++);
  WriteFileBytes(path, bytes);
  if (gContainer.archive) fclose(gContainer.archive);
  gContainer.archive = fopen(path.c_str(), "rb");
  ASSERT_NE(gContainer.archive, nullptr);
}

// Decoder memory for one size profile, owned by the tests (the stub's own
// set-up happens once per process and keeps its first window size).
void SetProfile(int profile) {
  static std::vector<void*> owned;
  for (void* p : owned) free(p);
  owned.clear();
  auto take = [&](size_t n) { void* p = calloc(n, 1); owned.push_back(p); return p; };
  gDecoder.profileIndex = static_cast<uint8_t>(profile);
  gDecoder.windowSize = 32768u << profile;
  gDecoder.minMatch = kMinMatch;
  gDecoder.distanceWidth = static_cast<uint16_t>(7 + profile);
  gDecoder.window = static_cast<uint8_t*>(take(2 * gDecoder.windowSize));
  gDecoder.flagStream = static_cast<uint8_t*>(take(kStreamBufferSize));
  gDecoder.lengthStream = static_cast<uint8_t*>(take(kStreamBufferSize));
  gDecoder.literalStream = static_cast<uint8_t*>(take(kStreamBufferSize));
  gDecoder.highStream = static_cast<uint8_t*>(take(kStreamBufferSize));
  gDecoder.middleStream = static_cast<uint8_t*>(take(kStreamBufferSize));
  gDecoder.lowBitTable = static_cast<uint16_t*>(take(2 * kStreamBufferSize));
  gDecoder.modelInput = static_cast<uint8_t*>(take(kStreamBufferSize));
  gDecoder.modelOutput = static_cast<uint8_t*>(take(kStreamBufferSize));
}

struct Stored {
  std::string name;
  uint32_t size;
};

// Registers the files, expands `blocks` with BeginFiles into a fresh folder
// and returns the folder (files are found by their stored names).
std::string Expand(int profile, const std::vector<Stored>& files, const Bytes& blocks) {
  SetProfile(profile);
  InitFileTable();
  // Stored times are applied only by the expansion's FinishFile, so a file's
  // time tells whether it was finished there.
  for (uint32_t i = 0; i < files.size(); ++i)
    RegisterFile(i, files[i].name.c_str(), files[i].size, kStoredTime + i, 0x20);
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

// One block written by hand: `items` is a string of 'L' (literal) and 'M'
// (match) in flag order.
Bytes HandBlock(const std::string& items, const Bytes& literals, const Bytes& lengths,
                const Bytes& high, const Bytes& middle, const std::vector<uint16_t>& low,
                int width, bool last = true) {
  packer::BlockStreams s;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i % 8 == 0) s.flags.push_back(0);
    if (items[i] == 'L') s.flags.back() = static_cast<uint8_t>(s.flags.back() | (1u << (i % 8)));
  }
  s.literals = literals;
  s.lengths = lengths;
  s.high = high;
  s.middle = middle;
  s.low = low;
  s.itemsInLastFlagByte = static_cast<uint32_t>(items.size() % 8);
  Bytes out;
  EXPECT_TRUE(packer::WriteBlock(s, width, last, out));
  return out;
}

Bytes Repeat(uint8_t byte, size_t n) { return Bytes(n, byte); }
Bytes Join(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }

// ---- the context splay coder --------------------------------------------------

TEST(SplayCoder, FixedVectorsBothWays) {
  const struct { const char* text; const char* packed; } cases[] = {
      {"abc", "86 46 C6"},
      {"abab", "86 46 86 05"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(packer::PackHeaderBytes(Text(c.text)), Hex(c.packed)) << c.text;
    Bytes packed = Hex(c.packed);
    Bytes out(64);
    uint32_t n = UnpackHeader(static_cast<uint32_t>(packed.size()), packed.data(), out.data(), 64);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), Text(c.text));
  }
}

TEST(SplayCoder, RoundTripsVariedInput) {
  const Bytes inputs[] = {TextLikeBytes(5000, 1), RandomBytes(3000, 2), Repeat(0, 4000),
                          Join(Repeat(0xFF, 700), RandomBytes(300, 3))};
  for (const Bytes& in : inputs) {
    Bytes packed = packer::PackHeaderBytes(in);
    Bytes out(in.size() + 16);
    uint32_t n = UnpackHeader(static_cast<uint32_t>(packed.size()), packed.data(), out.data(),
                              static_cast<uint32_t>(out.size()));
    // Padding bits of the last byte may decode a few extra symbols, never fewer.
    ASSERT_GE(n, in.size());
    EXPECT_LE(n, in.size() + 7);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
  }
}

TEST(SplayCoder, StopsAtTheEndOfTheOutputBuffer) {
  Bytes packed = packer::PackHeaderBytes(TextLikeBytes(500, 4));
  Bytes out(100 + 1, 0xEE);
  EXPECT_EQ(UnpackHeader(static_cast<uint32_t>(packed.size()), packed.data(), out.data(), 100), 100u);
  EXPECT_EQ(out[100], 0xEE);
}

// ---- solid header and file table ------------------------------------------------

const char kOneFileHeader[] =
    "01 00 00 00 85 85 11 00 00 00 01 C2 B6 1C C0 00 01 7E 97 00 20 A3 87 74 2E 1E 2E";

TEST(SolidHeader, OneFileVectorBothWays) {
  InitFileTable();
  OpenArchiveBytes(Hex(kOneFileHeader));
  ASSERT_EQ(ReadSolidHeader(), 0);
  ASSERT_EQ(gFiles.count, 1u);
  const FileRecord& r = gFiles.records[0];
  EXPECT_EQ(r.time, 946684800u);
  EXPECT_EQ(r.size, 3u);
  EXPECT_EQ(r.attributes, 0x20);
  EXPECT_STREQ(r.name, "a.txt");
  EXPECT_EQ(ftell(gContainer.archive), 27);

  packer::PackFile f;
  f.name = "a.txt";
  f.data = Text("abc");
  f.time = 946684800;
  EXPECT_EQ(packer::WriteSolidHeader({f}), Hex(kOneFileHeader));
}

TEST(SolidHeader, EmptyAndLongNamesRoundTrip) {
  InitFileTable();
  EXPECT_EQ(packer::WriteSolidHeader({}), Hex("00000000 0000 00000000"));
  OpenArchiveBytes(packer::WriteSolidHeader({}));
  EXPECT_EQ(ReadSolidHeader(), 0);
  EXPECT_EQ(gFiles.count, 0u);

  std::vector<packer::PackFile> files(40);
  for (size_t i = 0; i < files.size(); ++i) {
    files[i].name = "Files\\TemporaryPathForDOLM\\dir\\" + std::to_string(i) + std::string(i * 5, 'x');
    files[i].data = RandomBytes(i, 7);
    files[i].time = 1000000000u + static_cast<uint32_t>(i);
    files[i].attributes = static_cast<uint8_t>(i);
  }
  files[39].name = std::string(255, 'n');
  OpenArchiveBytes(packer::WriteSolidHeader(files));
  ASSERT_EQ(ReadSolidHeader(), 0);
  ASSERT_EQ(gFiles.count, 40u);
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(gFiles.records[i].name, files[i].name);
    EXPECT_EQ(gFiles.records[i].size, i);
    EXPECT_EQ(gFiles.records[i].time, files[i].time);
    EXPECT_EQ(gFiles.records[i].attributes, files[i].attributes);
  }
  EXPECT_EQ(gFiles.records[39].name[255], '\0');
}

// Each damaged header registers nothing and fails; with IgnoreErrors clear the
// process ends with error 6.
TEST(SolidHeader, DamageIsRefusedAsErrorSix) {
  const Bytes good = Hex(kOneFileHeader);
  std::vector<std::pair<const char*, Bytes>> cases;
  for (size_t bit : {0u, 13u, 77u, 135u}) {
    Bytes b = good;
    b[10 + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    cases.push_back({"flipped packed bit", b});
  }
  Bytes badCheck = good;
  badCheck[5] ^= 0x40;
  cases.push_back({"flipped check bit", badCheck});
  cases.push_back({"truncated packed bytes", Bytes(good.begin(), good.end() - 3)});
  cases.push_back({"truncated length", Bytes(good.begin(), good.begin() + 8)});
  Bytes twoFiles = good;  // the check covers the packed bytes only
  twoFiles[0] = 2;
  cases.push_back({"count beyond the entries", twoFiles});
  Bytes longPacked = Hex("01000000 0000 15010000");  // 277 > 1 x 276
  longPacked.resize(longPacked.size() + 277);
  cases.push_back({"packed length above the budget", longPacked});

  InitFileTable();
  for (const auto& c : cases) {
    gContainer.options.optionWord = kIgnoreErrorsWord;
    gFiles.count = 5;
    OpenArchiveBytes(c.second);
    EXPECT_EQ(ReadSolidHeader(), 1) << c.first;
    EXPECT_EQ(gFiles.count, 0u) << c.first;

    gContainer.options.optionWord = 0;
    OpenArchiveBytes(c.second);
    EXPECT_EXIT(ReadSolidHeader(), testing::ExitedWithCode(0), "Error #6\nError melting file names !")
        << c.first;
  }
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

Bytes Read(const std::string& dir, const std::string& name) { return ReadFileBytes(dir + "/" + name); }

// True when the expansion finished file `index` (its stored time was applied).
bool Finished(const std::string& dir, const std::string& name, uint32_t index) {
  struct stat st;
  return stat((dir + "/" + name).c_str(), &st) == 0 && st.st_mtime == kStoredTime + index;
}

TEST(Expansion, HandMadeBlocks) {
  // Three files 5/0/3 in the one final flush.
  std::string dir = Expand(1, {{"a", 5}, {"b", 0}, {"c", 3}},
                           HandBlock("LLLLLLLL", Text("HelloXYZ"), {}, {}, {}, {}, 8));
  EXPECT_EQ(Read(dir, "a"), Text("Hello"));
  EXPECT_EQ(Read(dir, "b"), Bytes());
  EXPECT_EQ(Read(dir, "c"), Text("XYZ"));
  EXPECT_TRUE(Finished(dir, "a", 0) && Finished(dir, "b", 1) && Finished(dir, "c", 2));

  // D = 0 repeats the last byte; 255 0x10 0x01 copies 0x0110 + 4 bytes.
  dir = Expand(6, {{"run", 1 + 6 + 276 + 1}},
               HandBlock("LMML", Text("xz"), {2, 255, 0x10, 0x01}, {0, 0}, {0, 0}, {0, 0}, 13));
  EXPECT_EQ(Read(dir, "run"), Join(Repeat('x', 283), Text("z")));

  // w = 13, h = 1, m = 2, l = 3: D = 8259, the copy starts 8260 bytes back.
  const Bytes lead = RandomBytes(8300, 11);
  dir = Expand(6, {{"far", 8304}},
               HandBlock(std::string(8300, 'L') + "M", lead, {0}, {1}, {2}, {3}, 13));
  EXPECT_EQ(Read(dir, "far"), Join(lead, Bytes(lead.end() - 8260, lead.end() - 8256)));

  // w = 7: the middle byte adds nothing; h = 1 means D = 128.
  const Bytes lead7 = RandomBytes(200, 12);
  dir = Expand(0, {{"w7", 204}}, HandBlock(std::string(200, 'L') + "M", lead7, {0}, {1}, {0xFF}, {}, 7));
  EXPECT_EQ(Read(dir, "w7"), Join(lead7, Bytes(lead7.end() - 129, lead7.end() - 125)));
}

TEST(Expansion, FilesAcrossWindowFlushes) {
  // Profile 0 (W = 32,768): a file ending exactly at the first flush, one
  // spanning three flushes, an empty one and a short tail.
  const Bytes data = Join(RandomBytes(32768, 21), TextLikeBytes(70000, 22));
  const std::vector<Stored> files = {{"edge", 32768}, {"big", 69990}, {"empty", 0}, {"tail", 10}};
  std::string dir = Expand(0, files, packer::WriteDataBlocks(data, 0, 6));
  size_t offset = 0;
  for (uint32_t i = 0; i < files.size(); ++i) {
    const Stored& f = files[i];
    EXPECT_EQ(Read(dir, f.name), Bytes(data.begin() + offset, data.begin() + offset + f.size)) << f.name;
    EXPECT_TRUE(Finished(dir, f.name, i)) << f.name;
    offset += f.size;
  }
}

TEST(Expansion, RoundTripEveryProfile) {
  // Repeats far back, runs, text and noise; the data passes the smallest windows.
  Bytes data = TextLikeBytes(40000, 31);
  data = Join(data, RandomBytes(30000, 32));
  data = Join(data, Repeat(7, 70000));
  data = Join(data, Bytes(data.begin() + 100, data.begin() + 60000));
  for (int profile = 0; profile < 9; ++profile) {
    for (int level : {1, 9}) {
      std::string dir = Expand(profile, {{"one", 100000}, {"two", static_cast<uint32_t>(data.size() - 100000)}},
                               packer::WriteDataBlocks(data, profile, level));
      EXPECT_EQ(Join(Read(dir, "one"), Read(dir, "two")), data) << profile << " level " << level;
    }
  }
  // An empty stream is one empty last block; the first file is still created
  // (a final flush of no bytes finishes nothing, so the driver closes it).
  std::string dir = Expand(3, {{"nothing", 0}}, packer::WriteDataBlocks({}, 3, 5));
  EXPECT_EQ(Read(dir, "nothing"), Bytes());
}

TEST(Expansion, BlockAskingForMoreThanItHoldsStops) {
  // The second block flags a match but carries no match streams: the literals
  // before it are written and nothing beyond.
  const Bytes blocks = Join(HandBlock("LLL", Text("abc"), {}, {}, {}, {}, 8, false),
                            HandBlock("LLM", Text("de"), {}, {}, {}, {}, 8));
  std::string dir = Expand(1, {{"part", 10}, {"never", 1}}, blocks);
  EXPECT_EQ(Read(dir, "part"), Text("abcde"));
  EXPECT_FALSE(Finished(dir, "part", 0));
  EXPECT_NE(FirstReportedError(), -1);
  EXPECT_THROW(Read(dir, "never"), std::runtime_error);
}

// ---- expansion copy paths ------------------------------------------------------

// Random items for one size profile, each match given as back = D + 1, and
// the bytes they stand for, made by the plain rule: a window of W zero bytes,
// every byte of a match copied one at a time from back bytes behind.
struct ItemScript {
  std::string items;  // 'L' or 'M' in flag order
  Bytes literals;
  std::vector<uint32_t> backs;
  std::vector<uint32_t> lengths;  // bytes copied, 4 .. 4 + 65,535
  Bytes expected;
};

ItemScript MakeScript(int profile, size_t outputSize, uint32_t seed) {
  const uint32_t window = 32768u << profile;
  const uint32_t width = 7 + profile;
  uint32_t state = seed;
  auto next = [&state](uint32_t n) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % n;
  };
  // Small gaps (byte and memset paths), gaps around the 8-byte step, far
  // gaps that wrap around the window, and the whole window (back = W).
  const uint32_t kBacks[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 100, 4096};
  ItemScript sc;
  Bytes ring(window, 0);
  uint32_t p = 0;
  auto put = [&](uint8_t b) {
    ring[p] = b;
    p = (p + 1) % window;
    sc.expected.push_back(b);
  };
  while (sc.expected.size() < outputSize) {
    if (next(3) == 0) {
      for (uint32_t n = 1 + next(20); n > 0; --n) {
        const uint8_t b = static_cast<uint8_t>(next(4) + 'a');
        sc.items += 'L';
        sc.literals.push_back(b);
        put(b);
      }
      continue;
    }
    uint32_t back;
    switch (next(4)) {
      case 0: back = kBacks[next(11)]; break;
      case 1: back = window - next(64); break;
      case 2: back = window; break;
      default: back = 1 + next(window); break;
    }
    if (width == 7) back = ((back - 1) & ~127u) + 1;  // only multiples of 128 can be coded
    const uint32_t kind = next(8);
    const uint32_t length = kind == 0 ? kMinMatch + 0xFFFF : kind < 3 ? 4 + next(2000) : 4 + next(40);
    sc.items += 'M';
    sc.backs.push_back(back);
    sc.lengths.push_back(length);
    for (uint32_t n = 0; n < length; ++n) put(ring[(p + window - back) % window]);
  }
  return sc;
}

// Writes the script as blocks of at most 4000 items each.
Bytes ScriptBlocks(const ItemScript& sc, int profile) {
  const int width = 7 + profile;
  Bytes out;
  size_t literal = 0, match = 0;
  for (size_t begin = 0; begin < sc.items.size(); begin += 4000) {
    const std::string items = sc.items.substr(begin, 4000);
    Bytes literals, lengths, high, middle;
    std::vector<uint16_t> low;
    for (char c : items) {
      if (c == 'L') {
        literals.push_back(sc.literals[literal++]);
        continue;
      }
      const uint32_t d = sc.backs[match] - 1;
      const uint32_t code = sc.lengths[match++] - kMinMatch;
      if (code < kLengthEscape) {
        lengths.push_back(static_cast<uint8_t>(code));
      } else {
        lengths.insert(lengths.end(), {255, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)});
      }
      high.push_back(static_cast<uint8_t>(d >> width));
      middle.push_back(width >= 8 ? static_cast<uint8_t>(d >> (width - 8)) : 0);
      if (width > 8) low.push_back(static_cast<uint16_t>(d & ((1u << (width - 8)) - 1)));
    }
    out = Join(out, HandBlock(items, literals, lengths, high, middle, low, width,
                              begin + 4000 >= sc.items.size()));
  }
  return out;
}

TEST(Expansion, CopyPathsMatchTheByteRule) {
  // Profiles 0 to 2 keep W small, so the output passes the window end many
  // times and matches start or end across it.
  for (int profile = 0; profile < 3; ++profile) {
    for (uint32_t seed : {1u, 2u}) {
      const ItemScript sc = MakeScript(profile, (32768u << profile) * 5, seed * 10 + profile);
      const std::string dir =
          Expand(profile, {{"out", static_cast<uint32_t>(sc.expected.size())}}, ScriptBlocks(sc, profile));
      const Bytes got = Read(dir, "out");
      ASSERT_EQ(got.size(), sc.expected.size()) << "profile " << profile << " seed " << seed;
      EXPECT_TRUE(got == sc.expected) << "profile " << profile << " seed " << seed;
    }
  }
}

// ---- the match coder against the expansion -------------------------------------

struct BlockShape {
  uint32_t counts[5];  // decoded counts: flags, literals, lengths, high, middle
  uint32_t stored[5];  // stored lengths
};

// Walks the data blocks of a whole packed stream (profile p) and returns the
// shape of each one.
std::vector<BlockShape> Shapes(const Bytes& blocks, int profile) {
  std::vector<BlockShape> shapes;
  size_t at = 0;
  auto u32 = [&](size_t i) {
    return blocks[i] | blocks[i + 1] << 8 | blocks[i + 2] << 16 | static_cast<uint32_t>(blocks[i + 3]) << 24;
  };
  for (bool last = false; !last;) {
    last = (blocks.at(at) & 0x1F) > 8;
    at += kBlockHeaderSize;
    BlockShape shape;
    for (int i = 0; i < 5; ++i) {
      shape.counts[i] = u32(at);
      shape.stored[i] = u32(at + 4);
      at += 8 + shape.stored[i];
    }
    const uint32_t bits = 7 + profile - 8;
    if (profile > 1) at += 2 * std::max<size_t>(1, (size_t{shape.counts[3]} * bits + 15) / 16);
    shapes.push_back(shape);
  }
  EXPECT_EQ(at, blocks.size());
  return shapes;
}

TEST(MatchCoder, LongAndFarMatchesRoundTrip) {
  // Noise long enough to fill more than one block, the longest possible runs,
  // and a copy of the noise far back: matches reach into earlier blocks and
  // use every distance width, including w = 7 where only multiples of 128
  // can be coded.
  const Bytes noise = RandomBytes(70000, 41);
  Bytes data = Join(noise, Repeat('r', 3 * (kMinMatch + 0xFFFF) + 5));
  data = Join(data, TextLikeBytes(30000, 42));
  data = Join(data, noise);
  for (int profile : {0, 1, 4, 8}) {
    for (int level : {3, 6, 7, 9}) {
      const Bytes blocks = packer::WriteDataBlocks(data, profile, level);
      const std::string dir = Expand(profile, {{"all", static_cast<uint32_t>(data.size())}}, blocks);
      EXPECT_TRUE(Read(dir, "all") == data) << "profile " << profile << " level " << level;
      // The far copy of the noise costs little once the window holds it.
      if (profile == 8) EXPECT_LT(blocks.size(), data.size() / 2) << "level " << level;
    }
  }
}

TEST(MatchCoder, BlocksStayInsideAndNearTheLimits) {
  // Noise is all literals: each block's literal stream is cut close to the
  // longest stored stream. Short repeats give many matches per block.
  const Bytes noise = RandomBytes(200000, 51);
  Bytes repeats;
  for (uint32_t i = 0; repeats.size() < 600000; ++i) {
    const Bytes word = TextLikeBytes(6 + i % 5, i % 300);
    repeats = Join(repeats, word);
  }
  for (const Bytes* data : {&noise, static_cast<const Bytes*>(&repeats)}) {
    for (int level : {1, 9}) {
      const Bytes blocks = packer::WriteDataBlocks(*data, 6, level);
      const std::vector<BlockShape> shapes = Shapes(blocks, 6);
      for (const BlockShape& b : shapes) {
        for (int i = 0; i < 5; ++i) {
          EXPECT_LE(b.counts[i], kStreamBufferSize);
          EXPECT_LE(b.stored[i], kMaxStoredLength);
        }
      }
      if (data == &noise) {
        EXPECT_EQ(shapes.size(), (data->size() + kMaxStoredLength - 1) / kMaxStoredLength);
      }
      const std::string dir = Expand(6, {{"d", static_cast<uint32_t>(data->size())}}, blocks);
      EXPECT_TRUE(Read(dir, "d") == *data) << "level " << level;
    }
  }
}

}  // namespace
