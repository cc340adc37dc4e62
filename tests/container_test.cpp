// The appended archive's front: option block and header bytes, locating the
// archive in generated stub files, and the errors of a damaged front.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "container/container.h"
#include "container/format.h"
#include "packer/packer.h"
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

// The archive file of one run that has not located anything yet.
struct Opened {
  ArchiveFile archive{};
  StoredOptions options{};
  Faults faults{};
  Opened(const Bytes& image, const Bytes& tail) {
    const std::string path = MakeTempDir("container") + "/pack.bin";
    WriteFileBytes(path, Join(image, tail));
    ClearFaults(&faults, false);
    EXPECT_TRUE(OpenArchive(path.c_str(), &archive, &faults).ok());
  }
  ~Opened() { CloseArchive(&archive); }
  long Position() { return std::ftell(archive.file); }
};

}  // namespace

TEST(ArchiveFront, SampleOptionBlockAndHeaderBytes) {
  const std::string block = kSignature + std::string("\0\0\0\0\x0D\0\0\0\0\0\0\0\x15\x01\0\0", 16) + "\"[setup.exe]\"";
  EXPECT_EQ(packer::WriteOptionBlock(SampleOptions()), Bytes(block.begin(), block.end()));
  const Bytes sample = HexBytes("554C4542 31303600 24000000 6A000000 00FA0000 00000000 00000000 00006400 DEDA57C2");
  auto header = packer::MakeArchiveHeader(6, 1);
  EXPECT_EQ(Bytes(header.begin(), header.end()), sample);
  EXPECT_TRUE(IsValidArchiveHeader(header.data()));
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

TEST(LocateArchive, FindsTheSecondSignatureAndLoadsTheOptionsOnce) {
  Bytes image = FakeImage();
  packer::StoredOptions stored;
  stored.optionWord = 0x00011500;
  stored.tempFolder = "C:\\TEMP\\" DOLM_TEMP_MARKER;
  stored.executeText = packer::MakeExecuteText("tools\\setup.exe", "/q /r");
  const Bytes front = Front(stored, 3);
  Opened f(image, Join(front, {0x0D}));  // a first byte behind the header
  ASSERT_TRUE(ReadArchiveSettings(&f.archive, &f.options, &f.faults).ok());
  const long p = static_cast<long>(image.size() + front.size() - 36);
  EXPECT_EQ(f.archive.optionBlockPos, p);
  EXPECT_EQ(f.Position(), p);
  EXPECT_EQ(f.options.record.optionWord, 0x00011500u);
  EXPECT_STREQ(f.options.tempFolder, "C:\\TEMP\\");
  EXPECT_STREQ(f.options.execFile, "tools\\setup.exe");
  EXPECT_STREQ(f.options.execArgs, "/q /r");
  EXPECT_TRUE(SolidFlagOf(f.archive.header) == 1 && ProfileIndexOf(f.archive.header) == 3);

  // Later locates only seek: the option block is not read again.
  std::strcpy(f.options.execFile, "changed");
  ASSERT_TRUE(CheckArchiveHeader(&f.archive, &f.options, &f.faults).ok());
  EXPECT_EQ(f.Position(), p + 36);
  ASSERT_TRUE(LocateArchive(&f.archive, &f.options, &f.faults).ok());
  EXPECT_EQ(f.Position(), p);
  EXPECT_STREQ(f.options.execFile, "changed");
}

TEST(LocateArchive, DamagedFrontsGiveTheirErrorAndOffset) {
  const Bytes image = FakeImage(), front = Front(SampleOptions());
  const long header = static_cast<long>(front.size() - 36);  // offset of the header in the front
  auto flip = [&](size_t at, uint8_t bits, size_t cut = 0) {
    Bytes tail(front.begin(), front.end() - static_cast<long>(cut));
    if (bits != 0) tail[at] ^= bits;
    return tail;
  };
  const long p = static_cast<long>(image.size()) + header;
  struct Case { const char* what; Bytes image, tail; ErrorNumber error; long offset; } cases[] = {
      {"no signature at all", RandomBytes(5000, 1), RandomBytes(100, 2), kErrorFirstOptions, -1},
      {"stub without archive", FakeImage(), RandomBytes(100, 2), kErrorSecondOptions, -1},
      {"archive beyond the window", FakeImage(3000, kSearchWindow), front, kErrorSecondOptions, -1},
      {"signature runs past the window", FakeImage(kMaxArchiveStart - 58 - 9, 10), front, kErrorSecondOptions, -1},
      {"the signature ends at the window's end", FakeImage(kMaxArchiveStart - 58 - 10, 10), front, kNoError,
       -1},
      {"options record cut short", image, Bytes(front.begin(), front.begin() + 57 + 10), kErrorReadOptions, -1},
      {"execute text cut short", image, Bytes(front.begin(), front.begin() + 57 + 16 + 5), kErrorReadOptions,
       -1},
      {"marker", image, flip(header, 'X' ^ 'U'), kErrorMarker, p + 4},
      {"tag", image, flip(header + 17, 250), kErrorNotArchive, p},
      {"header CRC", image, flip(front.size() - 1, 0x80), kErrorNotArchive, p},
      {"header cut short", image, flip(0, 0, 10), kErrorNotArchive, p},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Opened f(c.image, c.tail);
    EXPECT_EQ(ReadArchiveSettings(&f.archive, &f.options, &f.faults).error, c.error);
    EXPECT_EQ(f.faults.first.error, c.error);
    EXPECT_EQ(f.faults.first.offset, c.offset);
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
