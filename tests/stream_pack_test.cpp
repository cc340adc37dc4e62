// Packing as a stream: the blocks do not depend on how the data arrives or on
// how much of it is held, dolm pack round-trips data larger than the window,
// refuses an input that is not what its listing said, and its memory stays
// within the window's bound whatever the size of the inputs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <random>
#include <stdexcept>

#include "packer/packer.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

RunResult Dolm(std::vector<std::string> args) {
  args.insert(args.begin(), BuildDir() + "/dolm");
  return RunProgram(args);
}

TEST(StreamPack, ArchiveDoesNotDependOnHowTheDataArrives) {
  std::vector<packer::PackFile> files = {{"a.txt", TextLikeBytes(700000, 1), 1, 0x20},
                                         {"b.bin", RandomBytes(300000, 2), 2, 0x21},
                                         {"empty", {}, 3, 0x20},
                                         {"c.txt", TextLikeBytes(900000, 3), 4, 0x20}};
  const struct { int profile, level; } kCases[] = {{0, 1}, {0, 6}, {2, 4}, {1, 8}, {0, 9}, {2, 9}};
  for (const auto& c : kCases) {
    Bytes joined, streamed;
    for (const auto& file : files) joined.insert(joined.end(), file.data.begin(), file.data.end());
    // Pieces of 1 to 70,000 bytes, through the smallest buffer.
    std::mt19937 rng(static_cast<uint32_t>(c.level));
    size_t given = 0;
    const packer::DataSource source = [&](uint8_t* into, size_t size) {
      size = std::min({size, joined.size() - given, size_t{1} + rng() % 70000});
      std::memcpy(into, joined.data() + given, size);
      given += size;
      return size;
    };
    const packer::BlockSink sink = [&](const Bytes& piece) { streamed.insert(streamed.end(), piece.begin(), piece.end()); };
    packer::WriteArchive(packer::EntriesOf(files), packer::WriteOptionBlock({}), c.profile, c.level, source, sink);
    EXPECT_TRUE(streamed == packer::BuildArchive(files, packer::WriteOptionBlock({}), c.profile, c.level))
        << "profile " << c.profile << " level " << c.level;
  }
  const packer::DataSource shortSource = [](uint8_t*, size_t) { return size_t{0}; };
  for (int level : {1, 9}) {  // at level 9 the source is read on the search thread
    EXPECT_THROW(packer::WriteArchive(packer::EntriesOf(files), packer::WriteOptionBlock({}), 1, level, shortSource, [](const Bytes&) {}),
                 std::runtime_error);
  }
}

TEST(StreamPack, RoundTripAndChangedInputs) {
  const std::string dir = MakeTempDir("stream_pack");
  mkdir((dir + "/in").c_str(), 0755);
  const std::map<std::string, Bytes> files = {{"a.txt", TextLikeBytes(400000, 5)},
                                              {"b.bin", RandomBytes(150000, 6)},
                                              {"c.txt", TextLikeBytes(300000, 7)},
                                              {"empty", {}}};
  for (const auto& file : files) WriteFileBytes(dir + "/in/" + file.first, file.second);
  const std::string sfx = dir + "/out.sfx";
  for (const char* level : {"1", "9"}) {
    RunResult r = Dolm({"pack", "-o", sfx, "--stub", "linux", "--window", "32K", "--level", level, dir + "/in"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Dolm({"test", sfx}).exitCode, 0);
    RemoveTree(dir + "/x");
    ASSERT_EQ(Dolm({"extract", sfx, "-C", dir + "/x"}).exitCode, 0);
    EXPECT_TRUE(FilesBelow(dir + "/x/in") == files) << "level " << level;
  }
  // Files whose listed size is not what they hold: longer, then shorter.
  for (const char* path : {"/proc/version", "/sys/kernel/mm/transparent_hugepage/enabled"}) {
    struct stat st;
    if (stat(path, &st) != 0) continue;
    RunResult r = Dolm({"pack", "-o", dir + "/changed.sfx", "--stub", "linux", path});
    EXPECT_TRUE(Exited(r, 1, std::string("'") + path + "' changed while it was packed"));
    EXPECT_TRUE(NoOutputAt(dir + "/changed.sfx"));
  }
}

TEST(StreamPack, MemoryIsBoundedByTheWindow) {
  if (UnderAddressSanitizer()) GTEST_SKIP() << "the sanitizer's own memory hides the bound";
  const std::string dir = MakeTempDir("stream_pack_memory");
  mkdir((dir + "/in").c_str(), 0755);
  for (uint32_t i = 0; i < 25; ++i)  // 200 MiB, every file with other bytes
    WriteFileBytes(dir + "/in/" + std::to_string(i), i % 2 ? RandomBytes(8 << 20, i) : TextLikeBytes(8 << 20, i));
  RunResult r = Dolm({"pack", "-o", dir + "/out.sfx", "--stub", "linux", "--window", "8192K", "--level", "1", dir + "/in"});
  RemoveTree(dir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_LE(r.maxRssKb, 12 * 8192 + 64 * 1024);  // 12 x window + 64 MiB
}

}  // namespace
