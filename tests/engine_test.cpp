// CRC forms, the bit reader, the block reader (with the block writer as its
// counterpart) and the size profiles.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "packer/packer.h"
#include "startup/startup.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

void OpenArchiveBytes(const Bytes& bytes) {
  if (gContainer.archive) std::fclose(gContainer.archive);
  gContainer.archive = TempFileWith(bytes);
}

long ArchivePosition() { return std::ftell(gContainer.archive); }
Bytes Join(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }
void SetIgnoreErrors(bool on) { gContainer.options.optionWord = on ? (1u << kIgnoreErrors) : 0; }

// Reserves the decoder memory once for every test (profile 6, w = 13).
class EngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { LoadSizeProfile(6); }
  void SetUp() override {
    SetIgnoreErrors(false);
    gDecoder.distanceWidth = 13;
  }
};

// ---- CRC ----------------------------------------------------------------------

TEST(Crc, StandardValueChainingAndEmptyPieces) {
  const Bytes abc = Text("abc");
  EXPECT_EQ(Crc32Of(abc.data(), 3), 0x352441C2u);
  EXPECT_EQ(Crc16Of(abc.data(), 3), 0x41C2u);
  // Whole eight-byte steps followed by a tail: the usual check values.
  EXPECT_EQ(Crc32Of(Text("123456789").data(), 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Of(Text("The quick brown fox jumps over the lazy dog").data(), 43), 0x414FA339u);
  // Each chained piece starts from the complemented value of the one before;
  // an empty piece only complements.
  uint32_t state = 0xFFFFFFFFu;
  Crc32Update(abc.data(), 1, &state);
  EXPECT_EQ(Crc32Update(abc.data() + 1, 2, &state), 0x8B02ACC2u);
  EXPECT_EQ(state, 0x8B02ACC2u);
  EXPECT_EQ(Crc32Update(abc.data(), 0, &state), ~0x8B02ACC2u);
}

// ---- bit reader -----------------------------------------------------------------

// Reads `count` values of `bits` bits the way the block reader does.
std::vector<uint16_t> ReadRun(size_t count, int bits) {
  std::vector<uint16_t> values;
  StartBitReader();
  for (size_t i = 0; i < count; ++i) values.push_back(ReadBits(bits, i + 1 < count));
  return values;
}

TEST(BitReader, RunsReadExactlyTheirWords) {
  const struct { size_t count; int bits; long bytes; } cases[] = {
      {16, 5, 10}, {3, 5, 2}, {0, 5, 2}, {1, 7, 2}, {8710, 5, 5444}, {17, 16, 34}, {9, 7, 8}, {32, 1, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE("count " + std::to_string(c.count) + " bits " + std::to_string(c.bits));
    const Bytes random = RandomBytes(c.count * 2, static_cast<uint32_t>(c.count));
    std::vector<uint16_t> values(c.count);
    for (size_t i = 0; i < c.count; ++i)
      values[i] = static_cast<uint16_t>((random[2 * i] | random[2 * i + 1] << 8) & ((1u << c.bits) - 1));
    Bytes packed = packer::PackLowBits(values, c.bits);
    EXPECT_EQ(static_cast<long>(packed.size()), c.bytes);
    packed.insert(packed.end(), {0xAA, 0x55});  // must stay unread
    OpenArchiveBytes(packed);
    EXPECT_EQ(ReadRun(c.count, c.bits), values);
    EXPECT_EQ(ArchivePosition(), c.bytes);
  }
  // A word cut short by the end of the file reads as 0xFFFF.
  OpenArchiveBytes({0x00, 0x01, 0x7F});
  EXPECT_EQ(ReadRun(2, 16), (std::vector<uint16_t>{0x0001, 0xFFFF}));
}

// ---- block reader ----------------------------------------------------------------

TEST_F(EngineTest, AbcBlockForBothTableForms) {
  // The last block of three literals "abc", every stream stored raw; only
  // w > 8 has the low-bit table (one empty word).
  packer::BlockStreams abc;
  abc.flags = {0x07};
  abc.literals = Text("abc");
  abc.itemsInLastFlagByte = 3;
  for (const auto& c : {std::make_pair(13, 0x76485998u), std::make_pair(8, 0x89B7A667u)}) {
    SCOPED_TRACE(c.first);
    Bytes block = Join(Join(HexBytes("0C0000000000"), U32(c.second)),
                       HexBytes("01000000 01000000 07 03000000 03000000 616263"));
    block.resize(block.size() + 24 + (c.first > 8 ? 2 : 0), 0);
    Bytes written;
    ASSERT_TRUE(packer::WriteBlock(abc, c.first, true, written));
    EXPECT_EQ(written, block);

    gDecoder.distanceWidth = static_cast<uint16_t>(c.first);
    OpenArchiveBytes(Join(block, {0x5A}));  // nothing after the last block is read
    gDecoder.lowBitTable[0] = gDecoder.lowBitTable[1] = 7;
    EXPECT_EQ(ReadBlock(), 0);
    EXPECT_EQ(ArchivePosition(), static_cast<long>(block.size()));
    EXPECT_TRUE(gBlock.lastBits == 0x0C && gBlock.flagCount == 1 && gBlock.literalCount == 3 && gBlock.matchCount == 0);
    EXPECT_EQ(std::memcmp(gDecoder.literalStream, "abc", 3), 0);
    if (c.first == 8) EXPECT_EQ(gDecoder.lowBitTable[0] | gDecoder.lowBitTable[1], 0);
  }
}

// Streams for 500 literals and `matches` matches; bit i of `coded` makes
// stream i (flag, literal, length, high, middle) compressible, else random.
packer::BlockStreams MatchStreams(size_t matches, unsigned coded, uint32_t seed) {
  packer::BlockStreams s;
  Bytes* streams[5] = {&s.flags, &s.literals, &s.lengths, &s.high, &s.middle};
  const size_t sizes[5] = {(500 + matches + 7) / 8, 500, matches, matches, matches};
  for (unsigned i = 0; i < 5; ++i) {
    *streams[i] = RandomBytes(sizes[i], seed + i);
    if ((coded >> i) & 1) {
      for (uint8_t& b : *streams[i]) b %= 3;
    }
  }
  for (uint8_t b : RandomBytes(2 * matches, seed + 5)) s.low.push_back(static_cast<uint16_t>(b * 131u));
  s.low.resize(matches);
  s.itemsInLastFlagByte = static_cast<uint32_t>((500 + matches) % 8);
  return s;
}

void ExpectBlockMatches(const packer::BlockStreams& s, int width) {
  const Bytes* want[5] = {&s.flags, &s.literals, &s.lengths, &s.high, &s.middle};
  const uint8_t* got[5] = {gDecoder.flagStream, gDecoder.literalStream, gDecoder.lengthStream,
                           gDecoder.highStream, gDecoder.middleStream};
  const uint32_t counts[5] = {gBlock.flagCount, gBlock.literalCount, gBlock.lengthCount, gBlock.matchCount,
                              gBlock.middleCount};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(counts[i], want[i]->size()) << "stream " << i;
    EXPECT_TRUE(std::equal(want[i]->begin(), want[i]->end(), got[i])) << "stream " << i;
  }
  for (size_t i = 0; width > 8 && i < s.low.size(); ++i)
    ASSERT_EQ(gDecoder.lowBitTable[i], s.low[i] & ((1u << (width - 8)) - 1)) << i;
}

TEST_F(EngineTest, WrittenBlocksReadBack) {
  // Every raw/coded combination, widths 7 to 15, and the table's extremes.
  for (unsigned coded = 0; coded < 32; ++coded) {
    for (size_t matches : {size_t{0}, size_t{16}, size_t{300}, size_t{8710}}) {
      const int width = 7 + static_cast<int>((coded + matches) % 9);
      SCOPED_TRACE("coded " + std::to_string(coded) + " matches " + std::to_string(matches));
      gDecoder.distanceWidth = static_cast<uint16_t>(width);
      const packer::BlockStreams s = MatchStreams(matches, coded, coded);
      Bytes block;
      ASSERT_TRUE(packer::WriteBlock(s, width, false, block));
      if (matches >= 300) EXPECT_EQ((block[0] >> 5) | (block[1] & 3) << 3, static_cast<int>(coded));
      OpenArchiveBytes(block);
      EXPECT_EQ(ReadBlock(), 0);
      ExpectBlockMatches(s, width);
      EXPECT_EQ(ArchivePosition(), static_cast<long>(block.size()));
    }
  }
  // Two blocks in a row: header byte 0 = 0x21 (one valid bit in the last flag
  // byte, flag stream coded), then 0xEE (last block, five valid bits, flag,
  // literal and length streams coded).
  packer::BlockStreams first = MatchStreams(300, 1, 40), last = MatchStreams(300, 7, 50);
  first.itemsInLastFlagByte = 1;
  last.itemsInLastFlagByte = 5;
  gDecoder.distanceWidth = 13;
  Bytes file;
  ASSERT_TRUE(packer::WriteBlock(first, 13, false, file));
  const size_t second = file.size();
  ASSERT_TRUE(packer::WriteBlock(last, 13, true, file));
  EXPECT_TRUE(file[0] == 0x21 && file[second] == 0xEE);
  OpenArchiveBytes(file);
  EXPECT_EQ(ReadBlock(), 0);
  EXPECT_EQ(gBlock.lastBits, 1);
  ExpectBlockMatches(first, 13);
  EXPECT_EQ(ReadBlock(), 0);
  EXPECT_EQ(gBlock.lastBits, 0x0E);
  ExpectBlockMatches(last, 13);
}

// A block whose only non-empty stream is the raw literal stream.
Bytes RawLiteralBlock(const Bytes& literals, uint32_t crc) {
  const Bytes n = U32(static_cast<uint32_t>(literals.size()));
  Bytes b = Join(Join(Join(Bytes(6, 0), U32(crc)), Bytes(8, 0)), Join(n, n));
  return Join(Join(b, literals), Bytes(24, 0));
}

TEST_F(EngineTest, StoredLengthLimit) {
  gDecoder.distanceWidth = 8;
  packer::BlockStreams s;
  s.literals = RandomBytes(kMaxStoredLength, 3);
  Bytes written;
  ASSERT_TRUE(packer::WriteBlock(s, 8, true, written));
  OpenArchiveBytes(written);
  EXPECT_EQ(ReadBlock(), 0);
  EXPECT_EQ(gBlock.literalCount, kMaxStoredLength);

  s.literals.push_back(0);
  Bytes tooLong;
  EXPECT_FALSE(packer::WriteBlock(s, 8, true, tooLong));
  EXPECT_TRUE(tooLong.empty());
  OpenArchiveBytes(RawLiteralBlock(s.literals, 0));
  EXPECT_EXIT(ReadBlock(), ::testing::ExitedWithCode(0), "Error #4\nUnexpected end of file");
}

// Runs ReadBlock on `block` in a child with IgnoreErrors set; the child's exit
// code is the first error reported, or 99 when ReadBlock returned 0.
void ExpectReadError(const Bytes& block, int error) {
  EXPECT_EXIT(
      {
        SetIgnoreErrors(true);
        OpenArchiveBytes(block);
        const int result = ReadBlock();
        std::exit(result == 0 ? 99 : FirstReportedError());
      },
      ::testing::ExitedWithCode(error), "");
}

TEST_F(EngineTest, DamagedBlocksAreReported) {
  Bytes block;
  ASSERT_TRUE(packer::WriteBlock(MatchStreams(16, 7, 9), 13, true, block));
  ASSERT_EQ(block[0] & 0xE0, 0xE0);
  const size_t tableStart = block.size() - 10;
  // Cut anywhere before the table: a short read. Inside the table the missing
  // words read as 0xFFFF and the CRC fails.
  for (size_t cut = 0; cut < block.size(); ++cut)
    ExpectReadError(Bytes(block.begin(), block.begin() + cut), cut < tableStart ? 4 : 2);

  // Any flipped table bit, and flipped bits of the coded literal stream up to
  // its last four bytes (which hold the final point and its padding), give
  // error 2. The literal record follows the flag record at offset 10.
  SetIgnoreErrors(true);
  const size_t literalData = 18 + (block[14] | block[15] << 8) + 8;
  const uint32_t literalStored = block[literalData - 4] | block[literalData - 3] << 8;
  ASSERT_GT(literalStored, 100u);
  for (size_t bit = literalData * 8 + 1; bit < block.size() * 8; ++bit) {
    if (bit == (literalData + literalStored - 4) * 8) bit = tableStart * 8;
    Bytes damaged = block;
    damaged[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    OpenArchiveBytes(damaged);
    EXPECT_EQ(ReadBlock(), 1) << "bit " << bit;
  }
}

TEST_F(EngineTest, OversizedDecodedCountIsRefused) {
  // A block with a correct CRC whose raw literal stream (count field at 18), or
  // whose distance-high stream (the match count, at 37), claims 65,537 bytes.
  gDecoder.distanceWidth = 8;
  const Bytes literals = Text("xyz");
  uint32_t crc = 0xFFFFFFFFu;  // chained over the five streams, four of them empty
  for (int stream = 0; stream < 5; ++stream) Crc32Update(literals.data(), stream == 1 ? 3 : 0, &crc);
  const Bytes good = RawLiteralBlock(literals, crc);
  ExpectReadError(good, 99);
  for (size_t countField : {size_t{18}, size_t{37}}) {
    Bytes block = good;
    block[countField] = block[countField + 2] = 0x01;
    ExpectReadError(block, 2);
  }
}

// ---- size profiles -------------------------------------------------------------------

TEST(Profiles, MemoryEstimateTexts) {
  const char* expected[9] = {"0.458", "0.524", "0.655", "0.917", "1.393", "2.393", "4.393", "8.393", "16.393"};
  for (int i = 0; i < 9; ++i) {
    char text[32];
    FormatMemoryEstimate(kSizeProfiles[i].windowFactor * 32768u, text, sizeof text);
    EXPECT_STREQ(text, expected[i]) << i;
  }
}

// An archive file whose header (at offset 4) names `index` and `solid`.
void OpenHeaderFile(uint8_t index, uint8_t solid) {
  const auto header = packer::MakeArchiveHeader(index, solid);
  OpenArchiveBytes(Join({1, 2, 3, 4}, Bytes(header.begin(), header.end())));
  gContainer.optionBlockPos = 4;
}

TEST(Profiles, PrepareDecoderLoadsTheNamedProfile) {
  // Exit code 7 when profile 6 ("2048K") was loaded and the file left at the
  // solid header.
  EXPECT_EXIT(
      {
        OpenHeaderFile(6, 1);
        std::exit(PrepareDecoder(1) == 0 && gContainer.solidFlag == 1 && gDecoder.windowSize == 2097152 &&
                          gDecoder.distanceWidth == 13 && gDecoder.minMatch == 4 && gDecoder.window != nullptr &&
                          ArchivePosition() == 40 ? 7 : 8);
      },
      ::testing::ExitedWithCode(7), "");
  // No solid flag, or a profile index with no row: the archive is refused.
  for (int index : {2, 9, 15}) {
    OpenHeaderFile(static_cast<uint8_t>(index), index == 2 ? 0 : 1);
    EXPECT_EXIT(PrepareDecoder(1), ::testing::ExitedWithCode(0), "Error #1\n") << index;
  }
}

}  // namespace
