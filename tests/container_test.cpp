// The appended archive's front: option block and header bytes, locating the
// archive in generated stub files, and the errors of a damaged front.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "container/container.h"
#include "container/format.h"
#include "packer/packer.h"
#include "startup/startup.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

const std::string kSignature = DOLM_OVERLAY_SIGNATURE;

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A stand-in stub image: filler with one signature copy (and its zero) inside.
Bytes FakeImage(size_t before = 3000, size_t after = 700) {
  return Join(Join(RandomBytes(before, 7), Bytes(kSignature.begin(), kSignature.end() + 1)), RandomBytes(after, 8));
}

// Option block and archive header.
Bytes Front(const packer::StoredOptions& options, uint8_t profile = 6) {
  auto header = packer::MakeArchiveHeader(profile);
  return Join(packer::WriteOptionBlock(options), Bytes(header.begin(), header.end()));
}

packer::StoredOptions SampleOptions() {
  packer::StoredOptions options;
  options.optionWord = 0x115;
  options.executeText = packer::MakeExecuteText("setup.exe", "");
  return options;
}

// Writes image + tail to a fresh file and makes it the open archive of a run
// that has not located anything yet.
void OpenArchive(const Bytes& image, const Bytes& tail) {
  std::string path = MakeTempDir("container") + "/pack.bin";
  WriteFileBytes(path, Join(image, tail));
  std::memset(&gContainer, 0, sizeof gContainer);
  std::memset(&gStartup, 0, sizeof gStartup);
  std::snprintf(gContainer.archiveName, sizeof gContainer.archiveName, "%s", path.c_str());
  gContainer.archive = std::fopen(path.c_str(), "rb");
  ASSERT_NE(gContainer.archive, nullptr);
}

uint8_t Settings() {  // what ReadArchiveSettings reports
  uint8_t solid = 0;
  ReadArchiveSettings(&solid);
  return solid;
}

}  // namespace

TEST(ArchiveFront, SampleOptionBlockAndHeaderBytes) {
  const std::string block = kSignature + std::string("\0\0\0\0\x0D\0\0\0\0\0\0\0\x15\x01\0\0", 16) + "\"[setup.exe]\"";
  EXPECT_EQ(packer::WriteOptionBlock(SampleOptions()), Bytes(block.begin(), block.end()));

  const Bytes sample = {0x55, 0x4C, 0x45, 0x42, 0x31, 0x30, 0x36, 0x00, 0x24, 0x00, 0x00, 0x00,
                        0x6A, 0x00, 0x00, 0x00, 0x00, 0xFA, 0,    0,    0,    0,    0,    0,
                        0,    0,    0,    0,    0,    0,    0x64, 0x00, 0xDE, 0xDA, 0x57, 0xC2};
  auto header = packer::MakeArchiveHeader(6, 1);
  EXPECT_EQ(Bytes(header.begin(), header.end()), sample);
  EXPECT_EQ(IsValidArchiveHeader(header.data()), 1);
}

TEST(ArchiveFront, AppendToStubChecksTheImage) {
  std::string dir = MakeTempDir("append");
  const Bytes archive = Front(SampleOptions());
  Bytes twice = FakeImage();
  twice.insert(twice.end(), kSignature.begin(), kSignature.end());
  struct Case { Bytes image; bool accepted; } cases[] = {
      {FakeImage(), true},
      {FakeImage(kMaxArchiveStart - 58 - 700, 700), true},  // archive starts at the last offset
      {FakeImage(kMaxArchiveStart - 58 - 699, 700), false},
      {twice, false},
      {RandomBytes(1000, 3), false},
  };
  for (const Case& c : cases) {
    WriteFileBytes(dir + "/stub", c.image);
    std::remove((dir + "/out").c_str());
    std::string error = packer::AppendToStub(dir + "/stub", archive, dir + "/out");
    struct stat st;
    ASSERT_EQ(error.empty(), c.accepted) << error;
    ASSERT_EQ(stat((dir + "/out").c_str(), &st) == 0, c.accepted);
    EXPECT_FALSE(PathExists(dir + "/out.part"));
    if (!c.accepted) continue;
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(ReadFileBytes(dir + "/out"), Join(c.image, archive));
  }
}

TEST(LocateArchive, FindsTheSecondSignatureAndLoadsTheOptions) {
  Bytes image = FakeImage();
  packer::StoredOptions options;
  options.optionWord = 0x00011500;
  options.tempFolder = "C:\\TEMP\\" DOLM_TEMP_MARKER;
  options.executeText = packer::MakeExecuteText("tools\\setup.exe", "/q /r");
  Bytes front = Front(options, 3);
  Bytes tail = front;
  tail.push_back(0x0D);  // first byte behind the header
  OpenArchive(image, tail);

  EXPECT_EQ(Settings(), 1);
  const long p = static_cast<long>(image.size() + front.size() - 36);
  EXPECT_EQ(gContainer.optionBlockPos, p);
  EXPECT_EQ(std::ftell(gContainer.archive), p);
  EXPECT_EQ(gContainer.options.optionWord, 0x00011500u);
  EXPECT_STREQ(gStartup.tempFolder, "C:\\TEMP\\");
  EXPECT_STREQ(gContainer.execFile, "tools\\setup.exe");
  EXPECT_STREQ(gContainer.execArgs, "/q /r");
  EXPECT_EQ(gContainer.header[30], 0x34);

  // Later locates only seek: the option block is not read again.
  std::strcpy(gContainer.execFile, "changed");
  CheckArchiveHeader();
  EXPECT_EQ(std::ftell(gContainer.archive), p + 36);
  LocateArchive();
  EXPECT_EQ(std::ftell(gContainer.archive), p);
  EXPECT_STREQ(gContainer.execFile, "changed");
  std::fclose(gContainer.archive);
  gContainer.archive = nullptr;
  EXPECT_EQ(Settings(), 255);
}

TEST(LocateArchiveDeathTest, SearchErrorsEndTheProcess) {
  const Bytes front = Front(SampleOptions());
  struct Case { const char* what; Bytes image, tail; const char* message; } cases[] = {
      {"no signature at all", RandomBytes(5000, 1), RandomBytes(100, 2), "Error #19\n"},
      {"stub without archive", FakeImage(), RandomBytes(100, 2), "Error #22\n"},
      {"archive beyond the window", FakeImage(3000, kSearchWindow), front, "Error #22\n"},
      {"signature runs past the window", FakeImage(kMaxArchiveStart - 58 - 9, 10), front,
       "Error #22\n"},
      {"options record cut short", FakeImage(), Bytes(front.begin(), front.begin() + 57 + 10),
       "Error #20\n"},
      {"execute text cut short", FakeImage(), Bytes(front.begin(), front.begin() + 57 + 16 + 5),
       "Error #20\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenArchive(c.image, c.tail);
    EXPECT_EXIT(Settings(), testing::ExitedWithCode(0), c.message);
  }
  // The last position that still works: the signature ends at the window's end.
  // (In a child: a failing search would end this process with code 0.)
  OpenArchive(FakeImage(kMaxArchiveStart - 58 - 10, 10), front);
  EXPECT_EXIT(std::exit(Settings() + 40), testing::ExitedWithCode(41), "");
}

TEST(LocateArchiveDeathTest, HeaderErrors) {
  const Bytes image = FakeImage();
  const Bytes front = Front(SampleOptions());
  const size_t header = front.size() - 36;  // offset of the header in the front
  struct Case { size_t at; uint8_t flip; size_t cut; std::string message; } cases[] = {
      {header, 'X' ^ 'U', 0,
       "The ULEB marker was not found at location " + std::to_string(image.size() + header + 4) + "\n"},
      {header + 17, 250, 0, "Error #1\nArchive '.*pack.bin'"},  // tag 0
      {front.size() - 1, 0x80, 0, "Error #1\n"},                // CRC
      {0, 0, 10, "Error #1\n"},                                 // header cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Bytes tail(front.begin(), front.end() - static_cast<long>(c.cut));
    tail[c.at] ^= c.flip;
    OpenArchive(image, tail);
    EXPECT_EXIT(Settings(), testing::ExitedWithCode(0), c.message);
  }
}

TEST(LinuxStub, RunWithoutFolderExtractsIntoTheSystemTemporaryFolder) {
  const std::string stub = StubPath("dolmsfx-linux"), dir = MakeTempDir("run");
  if (ReadFileBytes(stub).size() > kMaxArchiveStart) GTEST_SKIP() << "this build's stub is too large (sanitizers)";
  packer::PackFile file{"docs\\" DOLM_TEMP_MARKER "readme.txt", TextLikeBytes(5000, 4), 0, 0x20};
  packer::StoredOptions options;
  options.optionWord = 0x10;  // RecreateOriginalFolders
  ASSERT_EQ(packer::AppendToStub(stub, packer::BuildArchive({file}, options, 0, 1), dir + "/pack"), "");
  setenv("TMPDIR", (dir + "/tmp").c_str(), 1);
  RunResult r = RunProgram({dir + "/pack"});
  unsetenv("TMPDIR");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(dir + "/tmp/readme.txt"), file.data);
}
