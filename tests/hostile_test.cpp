// Hostile archives and hostile neighbours: a program planted in a shared
// temporary folder, links made while dolm extract runs, sizes beyond 2^31,
// a header that declares a million entries, a declared total larger than the
// target's free space.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>

#include "format/format.h"
#include "startup/startup.h"
#include "support/test_support.h"
#include "tool/extract_sink.h"

namespace {

using packer::Bytes;

// An archive whose file table declares `entries` while its data is `data`.
Bytes CraftedArchive(const std::vector<packer::FileEntry>& entries, const Bytes& data) {
  Bytes out = packer::WriteOptionBlock({});
  const auto header = packer::MakeArchiveHeader(2, 1);
  out.insert(out.end(), header.begin(), header.end());
  const Bytes table = packer::WriteSolidHeader(entries), blocks = packer::WriteDataBlocks(data, 2, 5);
  out.insert(out.end(), table.begin(), table.end());
  out.insert(out.end(), blocks.begin(), blocks.end());
  return out;
}

std::string Write(const std::string& path, const Bytes& archive) {
  Bytes whole = ReadFileBytes(StubPath("dolmsfx-linux"));
  whole.insert(whole.end(), archive.begin(), archive.end());
  EXPECT_TRUE(WriteProgram(path, whole));
  return path;
}

RunResult Dolm(std::vector<std::string> args) {
  args.insert(args.begin(), BuildDir() + "/dolm");
  return RunProgram(args);
}

TEST(HostileNeighbour, PlantedProgramInASharedFolderIsNeverStarted) {
  const std::string dir = MakeTempDir("planted"), shared = dir + "/shared";
  mkdir(shared.c_str(), 0777);
  const std::string evil = "#!/bin/sh\necho planted > " + dir + "/marker\n";
  ASSERT_TRUE(WriteProgram(shared + "/setup.sh", Bytes(evil.begin(), evil.end())));
  const std::string ours = "#!/bin/sh\necho ours > " + dir + "/marker\n";
  packer::PackFile setup{"setup.sh", Bytes(ours.begin(), ours.end()), 0, 0x20};
  // Keep attributes, recreate folders, delete when done, prompt.
  const uint32_t word =
      OptionWord({kKeepOriginalFileAttrib, kRecreateOriginalFolders, kDeleteSFXwhenDone, kPromptUserForOptions});
  const Bytes options = packer::WriteOptionBlock(word, "", packer::MakeExecuteText("setup.sh", ""));
  const std::string sfx = dir + "/sfx";
  ASSERT_TRUE(WriteProgram(sfx, LinuxStubWith({setup}, options, 0)));

  // No folder given: a private folder of the run's own; the planted file is not touched.
  RunOptions run;
  run.cwd = dir;
  setenv("TMPDIR", shared.c_str(), 1);
  RunResult r = RunProgram({sfx}, run);
  unsetenv("TMPDIR");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadText(dir + "/marker"), "ours\n");
  EXPECT_EQ(FolderEntries(shared), std::vector<std::string>{"setup.sh"}) << "the private folder is removed";

  // The shared folder named, the overwrite question answered No (end of input).
  unlink((dir + "/marker").c_str());
  r = RunProgram({sfx, shared});
  EXPECT_FALSE(PathExists(dir + "/marker")) << "the planted program ran";
  EXPECT_TRUE(Contains(r.err, "shared/setup.sh: not started: this run did not write it")) << r.err;
}

TEST(HostileNeighbour, ExtractNeverFollowsALinkMadeDuringTheRun) {
  const std::string dir = MakeTempDir("race"), target = dir + "/out", outside = dir + "/outside";
  mkdir(target.c_str(), 0755);
  mkdir(outside.c_str(), 0755);
  std::vector<packer::PackFile> files = {{"sub\\a.txt", TextLikeBytes(100, 1), 0, 0x20},
                                         {"sub\\b.txt", TextLikeBytes(100, 2), 0, 0x20}};
  const std::string sfx = Write(dir + "/sfx", packer::BuildArchive(files, packer::WriteOptionBlock({}), 2, 5));

  auto run = std::make_unique<StubRun>();
  ASSERT_TRUE(OpenForInspection(run.get(), sfx.c_str(), true).ok());
  tool::ExtractTarget extract;
  extract.rootFd = open(target.c_str(), O_RDONLY | O_DIRECTORY);
  extract.root = target;
  extract.faults = &run->faults;
  // Between the two files a neighbour swaps the folder for a link outside.
  static OutputSink real;
  static std::string where[2];
  real = tool::ExtractSink(&extract);
  where[0] = target, where[1] = outside;
  OutputSink sink = real;
  sink.open = [](void* self, uint32_t index, const FileRecord& record, bool* write) {
    if (index == 1) {
      rename((where[0] + "/sub").c_str(), (where[0] + "/moved").c_str());
      symlink(where[1].c_str(), (where[0] + "/sub").c_str());
    }
    return real.open(self, index, record, write);
  };
  Result result = ExpandInto(run.get(), sink);
  close(extract.rootFd);
  EndInspection(run.get());
  EXPECT_EQ(result.error, kErrorCannotOpen);
  EXPECT_TRUE(Contains(extract.reason, "symbolic link")) << extract.reason;
  EXPECT_TRUE(FolderEntries(outside).empty()) << "a write went through the link";
}

TEST(HostileNeighbour, EveryCreatedFileIsOpenedBelowAFolderDescriptorWithoutFollowingLinks) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string dir = MakeTempDir("strace");
  const std::string sfx = Write(dir + "/sfx", packer::BuildArchive({{"a\\b\\c.txt", TextLikeBytes(50, 6), 0, 0x20},
                                                                    {"d.txt", TextLikeBytes(50, 7), 0, 0x20}},
                                                                   packer::WriteOptionBlock({}), 2, 5));
  RunResult r = RunProgram({"/usr/bin/strace", "-f", "-e", "trace=openat,openat2", "-o", dir + "/trace",
                            BuildDir() + "/dolm", "extract", sfx, "-C", dir + "/out"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  int created = 0;
  std::istringstream trace(ReadText(dir + "/trace"));
  for (std::string line; std::getline(trace, line);) {
    if (!Contains(line, "O_CREAT")) continue;
    ++created;
    const std::string path = line.substr(line.find('"') + 1, line.find('"', line.find('"') + 1) - line.find('"') - 1);
    EXPECT_FALSE(Contains(line, "AT_FDCWD")) << line;
    EXPECT_FALSE(Contains(path, "/")) << line;
    EXPECT_TRUE(Contains(line, "O_NOFOLLOW")) << line;
  }
  EXPECT_EQ(created, 2);
}

TEST(HostileArchive, SizesBeyondTheSignedCountAreRefused) {
  const std::string dir = MakeTempDir("huge");
  const std::string sfx = Write(dir + "/sfx", CraftedArchive({{"big.bin", 0x80000000u, 0, 0x20}, {"b.txt", 10, 0, 0x20}},
                                                              TextLikeBytes(4000, 4)));
  EXPECT_TRUE(Exited(Dolm({"test", sfx}), 1, "big.bin"));
  EXPECT_EQ(Dolm({"extract", sfx, "-C", dir + "/out"}).exitCode, 1);
  EXPECT_TRUE(FilesBelow(dir + "/out").empty());
}

TEST(HostileArchive, AMillionEntriesStayWithinTheMemoryBound) {
  const std::string dir = MakeTempDir("million");
  std::vector<packer::FileEntry> entries(1000000);
  for (size_t i = 0; i < entries.size(); ++i) entries[i] = {"f" + std::to_string(i), 0, 0, 0x20};
  const std::string sfx = Write(dir + "/sfx", CraftedArchive(entries, {}));
  const long limitKb = 64 * 1024 + 8 * static_cast<long>(ReadFileBytes(sfx).size()) / 1024;
  for (const char* command : {"list", "test"}) {
    RunOptions options;
    options.timeoutSeconds = 300;
    RunResult r = RunProgram({BuildDir() + "/dolm", command, sfx}, options);
    EXPECT_EQ(r.exitCode, 0) << command << ": " << r.err.substr(0, 300);
    if (!UnderAddressSanitizer()) EXPECT_LE(r.maxRssKb, limitKb) << command;
  }
}

TEST(HostileArchive, DeclaredTotalBeyondTheFreeSpaceIsRefusedBeforeWriting) {
  const std::string dir = MakeTempDir("declared"), small = dir + "/small";
  mkdir(small.c_str(), 0755);
  const std::string sfx = Write(dir + "/sfx", CraftedArchive({{"a.txt", 100, 0, 0x20}, {"big.bin", 1u << 30, 0, 0x20}},
                                                              TextLikeBytes(3000, 5)));
  RunResult r = Dolm({"extract", sfx, "-C", small, "--max-size", "1M"});
  EXPECT_TRUE(Exited(r, 1, "more than --max-size 1048576"));
  EXPECT_TRUE(Contains(Dolm({"list", sfx}).out, "1073741924 bytes declared")) << "list shows the declared total";
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64m") != 0) GTEST_SKIP() << "no tmpfs mount here";
  r = Dolm({"extract", sfx, "-C", small});
  EXPECT_TRUE(FolderEntries(small).empty());
  umount(small.c_str());
  EXPECT_TRUE(Exited(r, 1, "declares 1073741924 bytes, but"));
}

}  // namespace

TEST(HostileArchive, HeaderCutBeforeItsLastZeroByteStillNamesItsFileUnderIgnoreErrors) {
  // The packed bytes end in 0x00 and the archive ends just before it: the missing byte reads as zero, the check holds
  // over the full length, and the file is created (empty: no block follows).
  const std::string dir = MakeTempDir("cutheader");
  Bytes archive = packer::WriteOptionBlock({});
  const auto header = packer::MakeArchiveHeader(2, 1);
  archive.insert(archive.end(), header.begin(), header.end());
  Bytes packed = packer::WriteSolidHeader({{"a.txt", 3, 946684800, 0x20}});
  packed.erase(packed.begin(), packed.begin() + 10);
  packed.push_back(0);
  const uint16_t check = Crc16Of(packed.data(), static_cast<uint32_t>(packed.size()));
  const Bytes fields = {1, 0, 0, 0, uint8_t(check), uint8_t(check >> 8), uint8_t(packed.size()), 0, 0, 0};
  archive.insert(archive.end(), fields.begin(), fields.end());
  archive.insert(archive.end(), packed.begin(), packed.end() - 1);
  const std::string sfx = Write(dir + "/sfx", archive);
  const RunResult run = RunProgram({sfx, "-i", "-s", dir + "/out"});
  ASSERT_TRUE(PathExists(dir + "/out/a.txt")) << run.err;
  EXPECT_EQ(ReadFileBytes(dir + "/out/a.txt").size(), 0u);
}
