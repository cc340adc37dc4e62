// CRC forms, the block reader against fixed bytes, the block writer and
// damaged blocks, and the size profiles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "container/format.h"
#include "engine/engine.h"
#include "packer/packer.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

Bytes Join(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

TEST(Crc, StandardValuesChainingAndEmptyPieces) {
  // Whole eight-byte steps followed by a tail: the usual check values.
  EXPECT_EQ(Crc32Of(Text("123456789").data(), 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Of(Text("The quick brown fox jumps over the lazy dog").data(), 43), 0x414FA339u);
  EXPECT_EQ(Crc16Of(Text("abc").data(), 3), 0x41C2u);
  // Each chained piece starts from the complemented value of the one before;
  // an empty piece only complements.
  uint32_t state = 0xFFFFFFFFu;
  Crc32Update(Text("a").data(), 1, &state);
  EXPECT_EQ(Crc32Update(Text("bc").data(), 2, &state), 0x8B02ACC2u);
  EXPECT_EQ(Crc32Update(nullptr, 0, &state), ~0x8B02ACC2u);
}

// One engine (profile 6) per test; Read() reads a block from fresh bytes.
class BlockReader : public ::testing::Test {
 protected:
  Engine engine{};
  BlockState block{};
  Faults faults{};
  FILE* file = nullptr;
  void SetUp() override { ASSERT_TRUE(LoadSizeProfile(&engine, 6, &faults).ok()); }
  void TearDown() override {
    if (file) std::fclose(file);
    ReleaseDecoderMemory(&engine);
  }
  // The error number, kNoError for none; the fault record agrees.
  int Read(const Bytes& bytes, int width) {
    if (file) std::fclose(file);
    file = TempFileWith(bytes);
    engine.distanceWidth = static_cast<uint16_t>(width);
    ClearFaults(&faults, false);
    const Result r = ReadBlock(file, &engine, &block, &faults);
    EXPECT_EQ(faults.first.error, r.error);
    return r.error;
  }
};

TEST_F(BlockReader, AbcBlockForBothTableForms) {
  // The last block of three literals "abc", every stream stored raw; only
  // w > 8 has the low-bit table (one empty word).
  packer::BlockStreams abc;
  abc.flags = {0x07};
  abc.literals = Text("abc");
  abc.itemsInLastFlagByte = 3;
  for (const auto& [width, crc] : {std::pair(13, 0x76485998u), std::pair(8, 0x89B7A667u)}) {
    Bytes want = Join(Join(HexBytes("0C0000000000"), U32(crc)), HexBytes("01000000 01000000 07 03000000 03000000 616263"));
    want.resize(want.size() + 24 + (width > 8 ? 2 : 0), 0);
    Bytes written;
    ASSERT_TRUE(packer::WriteBlock(abc, width, true, written));
    EXPECT_EQ(written, want);
    engine.lowBitTable[0] = engine.lowBitTable[1] = 7;
    EXPECT_EQ(Read(Join(want, {0x5A}), width), kNoError);  // nothing after the block is read
    EXPECT_EQ(std::ftell(file), static_cast<long>(want.size()));
    EXPECT_TRUE(block.lastBits == 0x0C && block.flagCount == 1 && block.literalCount == 3 && block.matchCount == 0);
    EXPECT_EQ(std::memcmp(engine.literalStream, "abc", 3), 0);
    if (width == 8) EXPECT_EQ(engine.lowBitTable[0] | engine.lowBitTable[1], 0);
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
    for (uint8_t& b : *streams[i]) b = (coded >> i) & 1 ? b % 3 : b;
  }
  for (uint8_t b : RandomBytes(matches, seed + 5)) s.low.push_back(static_cast<uint16_t>(b * 131u));
  s.itemsInLastFlagByte = static_cast<uint32_t>((500 + matches) % 8);
  return s;
}

TEST_F(BlockReader, WrittenBlocksReadBack) {
  // Every raw/coded combination, widths 7 to 15, and the table's extremes.
  for (unsigned coded = 0; coded < 32; ++coded) {
    for (size_t matches : {0, 16, 300, 8710}) {
      const int width = 7 + static_cast<int>((coded + matches) % 9);
      SCOPED_TRACE("coded " + std::to_string(coded) + " matches " + std::to_string(matches));
      const packer::BlockStreams s = MatchStreams(matches, coded, coded);
      Bytes written;
      ASSERT_TRUE(packer::WriteBlock(s, width, false, written));
      if (matches >= 300) EXPECT_EQ((written[0] >> 5) | (written[1] & 3) << 3, static_cast<int>(coded));
      EXPECT_EQ(Read(written, width), kNoError);
      EXPECT_EQ(std::ftell(file), static_cast<long>(written.size()));
      EXPECT_EQ(block.lastBits, s.itemsInLastFlagByte);
      const Bytes* want[5] = {&s.flags, &s.literals, &s.lengths, &s.high, &s.middle};
      const uint8_t* got[5] = {engine.flagStream, engine.literalStream, engine.lengthStream, engine.highStream,
                               engine.middleStream};
      const uint32_t counts[5] = {block.flagCount, block.literalCount, block.lengthCount, block.matchCount,
                                  block.middleCount};
      for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(counts[i] == want[i]->size() && std::equal(want[i]->begin(), want[i]->end(), got[i])) << i;
      for (size_t i = 0; width > 8 && i < matches; ++i)
        ASSERT_EQ(engine.lowBitTable[i], s.low[i] & ((1u << (width - 8)) - 1)) << i;
    }
  }
}

// A block whose only non-empty stream is the raw literal stream (w <= 8).
Bytes RawLiteralBlock(const Bytes& literals, uint32_t crc) {
  const Bytes n = U32(static_cast<uint32_t>(literals.size()));
  return Join(Join(Join(Join(Bytes(6, 0), U32(crc)), Bytes(8, 0)), Join(Join(n, n), literals)), Bytes(24, 0));
}

TEST_F(BlockReader, DamagedAndOverlongBlocksAreRefused) {
  Bytes written;
  ASSERT_TRUE(packer::WriteBlock(MatchStreams(16, 7, 9), 13, true, written));
  const size_t tableStart = written.size() - 10;
  // Cut anywhere before the table: a short read. Inside the table the missing
  // words read as 0xFFFF and the CRC fails.
  for (size_t cut = 0; cut < written.size(); ++cut)
    ASSERT_EQ(Read(Bytes(written.begin(), written.begin() + cut), 13), cut < tableStart ? 4 : 2) << cut;
  // Any flipped table bit, and flipped bits of the coded literal stream up to
  // its last four bytes (which hold the final point and its padding), give
  // error 2 at the block's end. The literal record follows the flag record.
  const size_t literalData = 18 + (written[14] | written[15] << 8) + 8;
  const uint32_t literalStored = written[literalData - 4] | written[literalData - 3] << 8;
  ASSERT_GT(literalStored, 100u);
  for (size_t bit = literalData * 8 + 1; bit < written.size() * 8; ++bit) {
    if (bit == (literalData + literalStored - 4) * 8) bit = tableStart * 8;
    Bytes damaged = written;
    damaged[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    ASSERT_EQ(Read(damaged, 13), kErrorDamaged) << "bit " << bit;
    ASSERT_EQ(faults.first.offset, static_cast<long>(written.size()));
  }

  // The longest stored stream is read; one byte more is refused where its
  // length was read (offset 26), and the writer splits such a block.
  packer::BlockStreams s;
  s.literals = RandomBytes(kMaxStoredLength, 3);
  ASSERT_TRUE(packer::WriteBlock(s, 8, true, written = {}));
  EXPECT_TRUE(Read(written, 8) == kNoError && block.literalCount == kMaxStoredLength);
  s.literals.push_back(0);
  EXPECT_FALSE(packer::WriteBlock(s, 8, true, written = {}));
  EXPECT_TRUE(Read(RawLiteralBlock(s.literals, 0), 8) == kErrorEndOfFile && faults.first.offset == 26);
  EXPECT_EQ(block.literalCount, 0u);
  // A correct CRC, but the raw literal stream (count field at 18), or the
  // distance-high stream (the match count, at 37), claims 65,537 bytes.
  uint32_t crc = 0xFFFFFFFFu;  // chained over the five streams, four of them empty
  for (int stream = 0; stream < 5; ++stream) Crc32Update(Text("xyz").data(), stream == 1 ? 3 : 0, &crc);
  const Bytes good = RawLiteralBlock(Text("xyz"), crc);
  EXPECT_EQ(Read(good, 8), kNoError);
  for (size_t countField : {18, 37}) {
    Bytes bad = good;
    bad[countField] = bad[countField + 2] = 0x01;
    EXPECT_EQ(Read(bad, 8), kErrorDamaged) << countField;
  }
}

TEST(Profiles, PrepareDecoderLoadsTheNamedProfileAndKeepsEnoughMemory) {
  Engine engine{};
  Faults faults;
  ClearFaults(&faults, false);
  for (uint8_t index : {6, 3, 8, 0}) {
    ASSERT_TRUE(PrepareDecoder(&engine, packer::MakeArchiveHeader(index, 1).data(), &faults).ok());
    EXPECT_TRUE(engine.windowSize == 32768u << index && engine.distanceWidth == 7 + index && engine.minMatch == 4);
    EXPECT_GE(engine.reservedWindow, 2 * engine.windowSize);
    engine.window[2 * engine.windowSize - 1] = 1;  // the sanitizer build checks the reservation
  }
  // No solid flag, or a profile index with no row: error 1. A run that goes
  // on still gets profile 0, so that the readers stay in bounds.
  for (int index : {2, 9, 15}) {
    for (bool goOn : {false, true}) {
      ReleaseDecoderMemory(&engine);
      ClearFaults(&faults, goOn);
      const auto header = packer::MakeArchiveHeader(static_cast<uint8_t>(index), index == 2 ? 0 : 1);
      EXPECT_TRUE(PrepareDecoder(&engine, header.data(), &faults).error == kErrorNotArchive &&
                  faults.first.error == kErrorNotArchive) << index;
      EXPECT_EQ(engine.window != nullptr && engine.windowSize == 32768u, goOn) << index;
    }
  }
  ReleaseDecoderMemory(&engine);
}

}  // namespace
