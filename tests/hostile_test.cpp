// Hostile archives and hostile neighbours: a program planted in a shared
// temporary folder, links made while dolm extract runs, sizes beyond 2^31,
// a header that declares a million entries, a declared total larger than the
// target's free space.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <tuple>

#include "format/format.h"
#include "startup/startup.h"
#include "support/test_support.h"
#include "tool/extract_sink.h"

namespace {

using packer::Bytes;

// An archive whose file table declares `entries` while its data is `data`.
Bytes CraftedArchive(const std::vector<packer::FileEntry>& entries, const Bytes& data, uint32_t optionWord = 0) {
  Bytes out = packer::WriteOptionBlock(optionWord, "", "");
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

// A million entries, every other one with an empty name: a few bytes for
// each name and a few lines for all the bad ones.
TEST(HostileArchive, AMillionEntriesStayWithinTheMemoryBound) {
  const std::string dir = MakeTempDir("million");
  std::vector<packer::FileEntry> entries(1000000);
  for (size_t i = 0; i < entries.size(); ++i) entries[i] = {i % 2 ? "" : "f" + std::to_string(i), 0, 0, 0x20};
  const std::string sfx = Write(dir + "/sfx", CraftedArchive(entries, {}));
  const long limitKb = 64 * 1024 + 8 * static_cast<long>(ReadFileBytes(sfx).size()) / 1024;
  for (const auto& [command, exitCode] : {std::make_pair("list", 0), std::make_pair("test", 1)}) {
    RunOptions options;
    options.timeoutSeconds = 300;
    RunResult r = RunProgram({BuildDir() + "/dolm", command, sfx}, options);
    EXPECT_EQ(r.exitCode, exitCode) << command << ": " << r.err.substr(0, 300);
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 12) << command << ": one line per bad name";
    if (!UnderAddressSanitizer()) EXPECT_LE(r.maxRssKb, limitKb) << command;
  }
}

// Names that cost the name checks more than their share: one folder chain 124
// deep below each of 20,000 names, and 10,000 names below one long prefix
// beside 10,000 files named that prefix.
TEST(HostileArchive, NameBombsAreCheckedInBoundedTimeAndMemory) {
  const std::string dir = MakeTempDir("namebomb"), deep = dir + "/deep", wide = dir + "/wide";
  {  // a started program counts the test's own memory in its peak until it starts: the names go first
    std::vector<packer::FileEntry> deepNames, wideNames;
    std::string chain, prefix(200, 'p');
    for (int i = 0; i < 124; ++i) chain += "\\a";
    for (int i = 0; i < 20000; ++i) deepNames.push_back({std::to_string(i) + chain, 0, 0, 0x20});
    for (int i = 0; i < 10000; ++i) {
      wideNames.push_back({prefix, 0, 0, 0x20});
      wideNames.push_back({prefix + "\\" + std::to_string(i), 0, 0, 0x20});
    }
    Write(deep, CraftedArchive(deepNames, {}));
    Write(wide, CraftedArchive(wideNames, {}));
  }
  for (const auto& [sfx, unsafe] : {std::make_pair(deep, ""), std::make_pair(wide, "19999 stored name(s)")}) {
    const long limitKb = 64 * 1024 + 8 * static_cast<long>(ReadFileBytes(sfx).size()) / 1024;
    RunOptions options;
    options.timeoutSeconds = 10;
    RunResult list = RunProgram({BuildDir() + "/dolm", "list", sfx}, options);
    EXPECT_TRUE(Exited(list, 0, unsafe));
    EXPECT_EQ(list.err.empty(), !*unsafe) << list.err.substr(0, 300);
    if (!UnderAddressSanitizer()) EXPECT_LE(list.maxRssKb, limitKb);
  }
}

// 64 MiB of zeros pack into one block of a few hundred bytes, which expands
// the same whatever the window holds: 8,000 copies behind a one-byte file list.
TEST(HostileArchive, ExpansionBombIsRefusedAtOnceByEveryReader) {
  Bytes block;
  uint64_t left = 64 << 20;
  packer::WriteDataBlocks(
      left, [&left](uint8_t* into, size_t size) { size = std::min<uint64_t>(size, left), left -= size; return std::memset(into, 0, size), size; },
      2, 5, [&block](const Bytes& piece) { block.insert(block.end(), piece.begin(), piece.end()); });
  ASSERT_GT(block[0] & 0x1F, 8) << "one last block";
  Bytes archive = CraftedArchive({{"a.txt", 1, 0, 0x20}}, {});
  archive.resize(archive.size() - packer::WriteDataBlocks({}, 2, 5).size());
  for (int i = 0; i < 8000; ++i) archive.insert(archive.end(), block.begin(), block.end());
  for (int i = 2; i <= 8000; ++i) archive[archive.size() - i * block.size()] -= kLastBlockMark;
  const std::string dir = MakeTempDir("bomb"), sfx = Write(dir + "/sfx", archive);
  RunOptions options;
  options.timeoutSeconds = 5;
  for (const std::vector<std::string>& reader : std::vector<std::vector<std::string>>{
           {BuildDir() + "/dolm", "test", sfx}, {BuildDir() + "/dolm", "extract", sfx, "-C", dir + "/out"}, {sfx, "--check"}}) {
    RunResult r = RunProgram(reader, options);
    EXPECT_FALSE(r.timedOut) << reader[1];
    EXPECT_NE(r.exitCode, 0) << reader[1];
    EXPECT_TRUE(Contains(r.err, "Error #16")) << reader[1] << ": " << r.err;
  }
}

// Refused before anything is written, by dolm beyond --max-size and by dolm
// and the stub beyond the free room of a small file system: a declared
// total, and 100 empty files 80 folders deep (no bytes declared, 8,100 entries).
TEST(HostileArchive, WhatDoesNotFitIsRefusedBeforeWriting) {
  std::vector<packer::FileEntry> deep;
  std::string chain;
  for (int i = 0; i < 79; ++i) chain += "\\d";
  for (int i = 0; i < 100; ++i) deep.push_back({std::to_string(i) + chain + "\\empty", 0, 0, 0x20});
  struct Case {
    std::vector<packer::FileEntry> entries;
    Bytes data;
    const char* listed;     // what list shows
    const char* fileSystem;
    const char* overLimit;  // dolm's refusal beyond --max-size 1M
    const char* overFree;   // dolm's refusal beyond the file system
    const char* stubFree;   // the stub's
  } cases[] = {
      {{{"a.txt", 100, 0, 0x20}, {"big.bin", 1u << 30, 0, 0x20}}, TextLikeBytes(3000, 5), "1073741924 bytes declared",
       "size=64m", "more than --max-size 1048576", "declares 1073741924 bytes, but", "not enough free space: 1073750116 bytes needed"},
      {deep, {}, "0 bytes declared", "size=4m,nr_inodes=200", "100 files and 8000 folders", "more entries",
       "more files and folders, 8100 needed"}};
  for (const auto& [entries, data, listed, fileSystem, overLimit, overFree, stubFree] : cases) {
    const std::string dir = MakeTempDir("declared"), small = dir + "/small";
    const std::string sfx = Write(dir + "/sfx", CraftedArchive(entries, data, OptionWord({kRecreateOriginalFolders})));
    mkdir(small.c_str(), 0755);
    RunResult r = Dolm({"extract", sfx, "-C", small, "--max-size", "1M"});
    EXPECT_TRUE(Exited(r, 1, overLimit));
    EXPECT_TRUE(FolderEntries(small).empty());
    EXPECT_TRUE(Contains(Dolm({"list", sfx}).out, listed)) << "list shows the declared total";
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, fileSystem) != 0) GTEST_SKIP() << "no tmpfs mount here";
    r = Dolm({"extract", sfx, "-C", small});
    EXPECT_TRUE(FolderEntries(small).empty());
    RunResult stub = RunProgram({sfx, "-s", small});
    EXPECT_TRUE(FolderEntries(small).empty());
    umount(small.c_str());
    EXPECT_TRUE(Exited(r, 1, overFree));
    EXPECT_TRUE(Exited(stub, 4, stubFree));
  }
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
