// CRC forms, the block reader against fixed bytes, the block writer and damaged blocks, and the size profiles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "format/format.h"
#include "engine/engine.h"
#include "packer/packer.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;


TEST(Crc, StandardValuesChainingAndEmptyPieces) {
  // Whole eight-byte steps followed by a tail: the usual check values.
  EXPECT_EQ(Crc32Of(Text("123456789").data(), 9), 0xCBF43926u);
  EXPECT_EQ(Crc16Of(Text("abc").data(), 3), 0x41C2u);
  EXPECT_EQ(Crc32Of(Text("The quick brown fox jumps over the lazy dog").data(), 43), 0x414FA339u);
  // Each chained piece starts from the complemented value of the one before; an empty piece only complements.
  uint32_t state = 0xFFFFFFFFu, first = Crc32Update(Text("a").data(), 1, &state);
  EXPECT_EQ(std::tuple(first, Crc32Update(Text("bc").data(), 2, &state)), std::tuple(0xE8B7BE43u, 0x8B02ACC2u));
  EXPECT_EQ(Crc32Update(nullptr, 0, &state), ~0x8B02ACC2u);
  // Zero bytes by powers of the one-byte step give the register of the zero bytes run one by one.
  const Bytes zeros(70000, 0);
  for (uint32_t count : {0u, 1u, 63u, 64u, 65u, 256u, 4097u, 69999u}) {
    uint32_t run = 0x12345678u;
    Crc32Update(zeros.data(), count, &run);
    EXPECT_EQ(Crc32OverZeros(0x12345678u, count), ~run) << count;
  }
}

// One engine (profile 6) per test; Read() reads a block from fresh bytes.
class BlockReader : public ::testing::Test {
 protected:
  Engine engine{};
  BlockState block{};
  Faults faults{};
  FILE* file = nullptr;
  void SetUp() override { ASSERT_TRUE(LoadSizeProfile(&engine, 6, &faults).ok()); }
  void TearDown() override { if (file) std::fclose(file); ReleaseDecoderMemory(&engine); }
  // The error number, kNoError for none; the fault record agrees.
  int Read(const Bytes& bytes, int width) {
    if (file) std::fclose(file);
    file = TempFileWith(bytes);
    engine.distanceWidth = static_cast<uint16_t>(width);
    ClearFaults(&faults, false);
    const Result r = ReadBlock(file, &engine, &block, &faults);
    return faults.first.error == r.error ? r.error : -2;
  }
};

TEST_F(BlockReader, AbcBlockForBothTableForms) {
  // The last block of the literals "abc", every stream raw; only w > 8 has the low-bit table (one empty word).
  const packer::BlockStreams abc{{0x07}, Text("abc"), {}, {}, {}, {}, 3};
  for (const auto& [width, crc] : {std::pair(13, "98594876"), std::pair(8, "67A6B789")}) {
    Bytes want = HexBytes(("0C0000000000" + std::string(crc) + "0100000001000000 07 0300000003000000 616263").c_str());
    want.resize(want.size() + 24 + (width > 8 ? 2 : 0), 0);
    Bytes written;
    ASSERT_TRUE(packer::WriteBlock(abc, width, packer::BlockPlace::kLast, written));
    EXPECT_EQ(written, want);
    engine.lowBitTable[0] = engine.lowBitTable[1] = 7;
    EXPECT_EQ(Read(Join(want, {0x5A}), width), kNoError);  // nothing after the block is read
    EXPECT_EQ(std::ftell(file), static_cast<long>(want.size()));
    EXPECT_EQ(std::tuple(block.lastBits, block.flagCount, block.literalCount, block.matchCount),
              std::tuple(12, 1, 3, 0));
    EXPECT_EQ(std::memcmp(engine.literalStream, "abc", 3), 0);
    if (width == 8) EXPECT_EQ(engine.lowBitTable[0] | engine.lowBitTable[1], 0);
  }
  // Noise is stored raw; bytes as evenly spread but in runs (0, 1, ..., 255 over and over) are coded: bit 6 of
  // byte 0 says which.
  Bytes ramp(8192);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i);
  for (const auto& [literals, coded] : {std::pair(RandomBytes(8192, 5), false), std::pair(ramp, true)}) {
    Bytes written;
    ASSERT_TRUE(packer::WriteBlock({{}, literals}, 8, packer::BlockPlace::kLast, written));
    EXPECT_EQ(IsStreamCoded(written.data(), 1), coded);
  }
}

TEST_F(BlockReader, DamagedAndOverlongBlocksAreRefused) {
  // One last block: coded literals (16 letters at random), matches (text) and their low-bit table.
  Bytes data = TextLikeBytes(3000, 9);
  for (uint8_t b : RandomBytes(2000, 9)) data.push_back('a' + b % 16);
  Bytes written = packer::WriteDataBlocks(data, 6, 5);
  ASSERT_EQ(Read(written, 13), kNoError);
  ASSERT_GE(block.lastBits, kLastBlockMark);  // the last block
  const size_t tableStart = written.size() - 2 * std::max(1u, (block.matchCount * 5 + 15) / 16);
  const size_t tableEnd = tableStart * 8 + block.matchCount * 5;  // bits in use, 5 per match
  // Cut anywhere before the table: a short read. Inside the table the missing words read as 0xFFFF and the CRC fails.
  for (size_t cut = 0; cut < written.size(); ++cut)
    ASSERT_EQ(Read(Bytes(written.begin(), written.begin() + cut), 13), cut < tableStart ? 4 : 2) << cut;
  // A flipped bit in use of the table or of the coded literal stream (the record after the flags) but its last four
  // bytes (the final point and its padding) gives error 2 at the block's end.
  const size_t literalData = 18 + (written[14] | written[15] << 8) + 8;
  const uint32_t literalStored = written[literalData - 4] | written[literalData - 3] << 8;
  ASSERT_GT(literalStored, 100u);
  ASSERT_TRUE(IsStreamCoded(written.data(), 1));  // the literal stream
  for (size_t bit = literalData * 8 + 1; bit < tableEnd; ++bit) {
    if (bit == (literalData + literalStored - 4) * 8) bit = tableStart * 8;
    Bytes damaged = written;
    damaged[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    ASSERT_EQ(Read(damaged, 13), kErrorDamaged) << "bit " << bit;
    ASSERT_EQ(faults.first.offset, static_cast<long>(written.size()));
  }

  // The longest stored stream (raw literals: count and length at 18, 22) is read; one byte more is refused there.
  packer::BlockStreams s{{}, RandomBytes(kMaxStoredLength + 1, 3)};
  EXPECT_FALSE(packer::WriteBlock(s, 8, packer::BlockPlace::kLast, written = {}));
  s.literals.pop_back();
  ASSERT_TRUE(packer::WriteBlock(s, 8, packer::BlockPlace::kLast, written = {}));
  EXPECT_EQ(Read(written, 8), kNoError);
  EXPECT_EQ(block.literalCount, kMaxStoredLength);
  written[18] = written[22] = static_cast<uint8_t>(written[18] + 1);
  written.insert(written.begin() + 26, 0);
  EXPECT_EQ(Read(written, 8), kErrorEndOfFile);
  EXPECT_EQ(std::tuple(faults.first.offset, block.literalCount), std::tuple(26L, 0u));
  // With a correct CRC, a raw literal count (at 18) or match count (at 37) of 65,537 bytes is refused.
  Bytes good;
  ASSERT_TRUE(packer::WriteBlock({{}, Text("xyz")}, 8, packer::BlockPlace::kLast, good));
  EXPECT_EQ(Read(good, 8), kNoError);
  for (size_t countField : {18, 37}) {
    Bytes bad = good;
    bad[countField] = bad[countField + 2] = 0x01;
    EXPECT_EQ(Read(bad, 8), kErrorDamaged) << countField;
  }
}

TEST(Profiles, PrepareDecoderLoadsTheNamedProfileAndKeepsEnoughMemory) {
  // A header without the solid flag, or naming a profile with no row, is error 1; a run that goes on still gets
  // profile 0 so that the readers stay in bounds. Memory reserved before is kept when it is large enough.
  Engine engine{};
  Faults faults;
  const struct { int index, solid; bool goOn; ErrorNumber error; int loaded; } rows[] = {
      {6, 1, false, kNoError, 6},          {3, 1, false, kNoError, 3},         {8, 1, false, kNoError, 8},
      {2, 0, false, kErrorNotArchive, -1}, {9, 1, false, kErrorNotArchive, -1}, {15, 1, true, kErrorNotArchive, 0},
      {2, 0, true, kErrorNotArchive, 0}};
  for (const auto& row : rows) {
    if (row.error != kNoError) ReleaseDecoderMemory(&engine);
    ClearFaults(&faults, row.goOn);
    const auto header = packer::MakeArchiveHeader(static_cast<uint8_t>(row.index), static_cast<uint8_t>(row.solid));
    EXPECT_EQ(PrepareDecoder(&engine, header.data(), &faults).error, row.error) << row.index;
    EXPECT_EQ(faults.first.error, row.error) << row.index;
    EXPECT_EQ(engine.window != nullptr, row.loaded >= 0) << row.index;
    if (row.loaded < 0) continue;
    EXPECT_EQ(std::tuple(engine.windowSize, engine.distanceWidth, engine.minMatch),
              std::tuple(32768u << row.loaded, 7 + row.loaded, 4)) << row.index;
    EXPECT_GE(engine.reservedWindow, 2 * engine.windowSize) << row.index;
    engine.window[2 * engine.windowSize - 1] = 1;  // the sanitizer build checks the reservation
  }
  ReleaseDecoderMemory(&engine);
}

}  // namespace
