// The appended archive's front: fixed bytes, locating the archive in stub files, and the errors of a damaged front.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "container/container.h"
#include "format/format.h"
#include "packer/packer.h"
#include "support/append_stub.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

const std::string kSignature = DOLM_OVERLAY_SIGNATURE;
const uint32_t kWord = kOverwriteKeepRecreate | OptionWord({kPromptUserForOptions});  // stored as 15 01 00 00

// A stand-in stub image: filler with one signature copy (and its zero) inside.
Bytes FakeImage(size_t before = 3000, size_t after = 700) {
  return Join(Join(RandomBytes(before, 7), Bytes(kSignature.begin(), kSignature.end() + 1)), RandomBytes(after, 8));
}

Bytes Front(const std::string& tempFolder = "", const std::string& execText = "\"[setup.exe]\"", uint8_t profile = 6) {
  const auto header = packer::MakeArchiveHeader(profile);
  return Join(packer::WriteOptionBlock(kWord, tempFolder, execText), Bytes(header.begin(), header.end()));
}

// Image and tail as the archive file of a run that has not located anything.
struct Opened {
  ArchiveFile archive{};
  StoredOptions options{};
  Faults faults{{kNoError, 0, -1, {}, {}}, false};
  Opened(const Bytes& image, const Bytes& tail) {
    const std::string path = MakeTempDir("container") + "/pack.bin";
    WriteFileBytes(path, Join(image, tail));
    EXPECT_TRUE(OpenArchive(path.c_str(), &archive, &faults).ok());
  }
  ~Opened() { CloseArchive(&archive); }
};

TEST(ArchiveFront, SampleBytesAndAppendingToAStub) {
  const Bytes front = Front();
  const std::string block = kSignature + std::string("\0\0\0\0\x0D\0\0\0\0\0\0\0\x15\x01\0\0", 16) + "\"[setup.exe]\"";
  EXPECT_EQ(front, Join(Bytes(block.begin(), block.end()), HexBytes("554C4542 31303600 24000000 6A000000 00FA0000 "
                                                                     "00000000 00000000 00006400 DEDA57C2")));
  EXPECT_TRUE(IsValidArchiveHeader(&front[front.size() - 36]));
  // The image must hold exactly one signature, and the archive may start at offset 250,478 at most.
  const std::string dir = MakeTempDir("append"), out = dir + "/out";
  for (const auto& [image, accepted] : {std::pair(FakeImage(), true),
                                        std::pair(FakeImage(kMaxArchiveStart - 58 - 700, 700), true),
                                        std::pair(FakeImage(kMaxArchiveStart - 58 - 699, 700), false),
                                        std::pair(Join(FakeImage(), FakeImage()), false),
                                        std::pair(RandomBytes(1000, 3), false)}) {
    WriteFileBytes(dir + "/stub", image);
    std::remove(out.c_str());
    const std::string error = AppendToStub(dir + "/stub", front, out);
    struct stat st;
    ASSERT_EQ(error.empty(), accepted) << error;
    ASSERT_EQ(stat(out.c_str(), &st) == 0, accepted) << error;
    EXPECT_FALSE(PathExists(out + ".part"));
    if (!accepted) continue;
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(ReadFileBytes(out), Join(image, front));
  }
}

TEST(LocateArchive, FindsTheSecondSignatureAndLoadsTheOptionsOnce) {
  const Bytes image = FakeImage();
  const Bytes front = Front("C:\\TEMP\\" DOLM_TEMP_MARKER, packer::MakeExecuteText("tools\\setup.exe", "/q /r"), 3);
  Opened f(image, Join(front, {0x0D}));  // a first byte behind the header
  ASSERT_TRUE(ReadArchiveSettings(&f.archive, &f.options, &f.faults).ok());
  const long p = static_cast<long>(image.size() + front.size() - 36);
  EXPECT_EQ(std::tuple(f.archive.optionBlockPos, std::ftell(f.archive.file)), std::tuple(p, p));
  EXPECT_EQ(std::string(f.options.tempFolder) + "|" + f.options.execFile + "|" + f.options.execArgs,
            "C:\\TEMP\\|tools\\setup.exe|/q /r");
  EXPECT_EQ(std::tuple(f.options.record.optionWord, SolidFlagOf(f.archive.header), ProfileIndexOf(f.archive.header)),
            std::tuple(kWord, 1, 3));
  // Later locates only seek: the option block is not read again.
  std::strcpy(f.options.execFile, "changed");
  ASSERT_EQ(CheckArchiveHeader(&f.archive, &f.options, &f.faults).error, kNoError);
  ASSERT_EQ(std::ftell(f.archive.file), p + 36);
  ASSERT_EQ(LocateArchive(&f.archive, &f.options, &f.faults).error, kNoError);
  ASSERT_EQ(std::ftell(f.archive.file), p);
  EXPECT_STREQ(f.options.execFile, "changed");
}

TEST(LocateArchive, DamagedFrontsGiveTheirErrorAndOffset) {
  const Bytes image = FakeImage(), front = Front();
  const size_t h = front.size() - 36;  // the header's offset in the front
  const long p = static_cast<long>(image.size() + h);
  auto flip = [&](size_t at, uint8_t bits) { Bytes tail = front; tail[at] ^= bits; return tail; };
  const struct { const char* what; Bytes image, tail; ErrorNumber error; long offset; } cases[] = {
      {"no signature at all", RandomBytes(5000, 1), RandomBytes(100, 2), kErrorFirstOptions, -1},
      {"stub without archive", image, RandomBytes(100, 2), kErrorSecondOptions, -1},
      {"archive beyond the window", FakeImage(3000, kSearchWindow), front, kErrorSecondOptions, -1},
      {"signature runs past the window", FakeImage(kMaxArchiveStart - 58 - 9, 10), front, kErrorSecondOptions, -1},
      {"signature ends at the window's end", FakeImage(kMaxArchiveStart - 58 - 10, 10), front, kNoError, -1},
      {"options record cut short", image, Bytes(front.begin(), front.begin() + 67), kErrorReadOptions, -1},
      {"execute text cut short", image, Bytes(front.begin(), front.begin() + 78), kErrorReadOptions, -1},
      {"marker", image, flip(h, 'X' ^ 'U'), kErrorMarker, p + 4},
      {"tag", image, flip(h + 17, 250), kErrorNotArchive, p},
      {"header CRC", image, flip(front.size() - 1, 0x80), kErrorNotArchive, p},
      {"header cut short", image, Bytes(front.begin(), front.end() - 10), kErrorNotArchive, p},
  };
  for (const auto& c : cases) {
    Opened f(c.image, c.tail);
    EXPECT_EQ(ReadArchiveSettings(&f.archive, &f.options, &f.faults).error, c.error) << c.what;
    EXPECT_EQ(std::tuple(f.faults.first.error, f.faults.first.offset), std::tuple(c.error, c.offset)) << c.what;
  }
}

TEST(LinuxStub, RunWithoutFolderExtractsIntoAPrivateFolderBelowTheTemporaryFolder) {
  const std::string stub = StubPath("dolmsfx-linux"), dir = MakeTempDir("run");
  if (ReadFileBytes(stub).size() > kMaxArchiveStart) GTEST_SKIP() << "this build's stub is too large (sanitizers)";
  packer::PackFile file{"docs\\" DOLM_TEMP_MARKER "readme.txt", TextLikeBytes(5000, 4), 0, 0x20};
  const Bytes options = packer::WriteOptionBlock(OptionWord({kRecreateOriginalFolders}), "", "");
  ASSERT_EQ(AppendToStub(stub, packer::BuildArchive({file}, options, 0, 1), dir + "/pack"), "");
  mkdir((dir + "/tmp").c_str(), 0777);
  setenv("TMPDIR", (dir + "/tmp").c_str(), 1);
  RunResult r = RunProgram({dir + "/pack"});
  unsetenv("TMPDIR");
  const std::vector<std::string> made = FolderEntries(dir + "/tmp");
  ASSERT_EQ(made.size(), 1u) << r.err;
  struct stat st;
  ASSERT_EQ(stat((dir + "/tmp/" + made[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(Exited(r, 0));
  EXPECT_EQ(ReadFileBytes(dir + "/tmp/" + made[0] + "/readme.txt"), file.data);
}

}  // namespace
