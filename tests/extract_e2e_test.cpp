// End to end: archives built by the packer, appended to the Linux stub and
// extracted by running it into a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "container/format.h"
#include "packer/packer.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;
using packer::PackFile;

// Builds the self-extractor; `solidHeaderAt` is the file offset of the solid header.
std::string MakeStub(const std::vector<PackFile>& files, int profile, size_t* solidHeaderAt = nullptr) {
  packer::StoredOptions options;
  options.optionWord = 1u << kOverWriteExistingFiles;
  const std::string exe = MakeTempDir("e2e-stub") + "/setup";
  const std::string stub = StubPath("dolmsfx-linux");
  EXPECT_EQ(packer::AppendToStub(stub, packer::BuildArchive(files, options, profile, 6), exe), "");
  if (solidHeaderAt)
    *solidHeaderAt = ReadFileBytes(stub).size() + packer::WriteOptionBlock(options).size() + kArchiveHeaderSize;
  return exe;
}

// Where a stored name lands: below the marker with folders, else the bare name.
std::string Landing(const std::string& name, bool folders) {
  size_t marker = name.find(DOLM_TEMP_MARKER);
  std::string tail = !folders ? name.substr(name.rfind('\\') + 1)
                     : marker != std::string::npos ? name.substr(marker + kTempMarkerLength) : name;
  for (char& c : tail)
    if (c == '\\') c = '/';
  return tail;
}

// Stored option word 0, then the same archive with the switches k and r,
// which set KeepOriginalFileAttrib and RecreateOriginalFolders.
TEST(ExtractEndToEnd, ProfilesFoldersAndAttributes) {
  for (int profile : {0, 1, 6, 8}) {
    const size_t window = 32768u << profile;
    const std::string dir = "Files\\TemporaryPathForDOLM\\";
    // edge.bin ends exactly at the first window boundary (noise where packing
    // it is quick); big.dat is larger than the window (kept moderate for the
    // widest windows).
    const std::vector<PackFile> files = {
        {dir + "setup.ini", TextLikeBytes(1000, 1), 946684800, 0x20},
        {dir + "docs\\empty.txt", {}, 1000000000, 0x21},
        {dir + "docs\\edge.bin", profile <= 1 ? RandomBytes(window - 1000, 2) : TextLikeBytes(window - 1000, 2),
         1100000000, 0x20},
        {dir + "big.dat", TextLikeBytes(profile <= 1 ? 3 * window + 17 : 300000, 3), 1200000000, 0x21},
        {dir + "tail.txt", TextLikeBytes(10, 4), 1300000000, 0x20},
    };
    const std::string exe = MakeStub(files, profile);
    for (bool keep : {false, true}) {
      const std::string out = MakeTempDir("e2e-out");
      RunResult r = keep ? RunProgram({exe, "-s", "-k", "-r", out}) : RunProgram({exe, "-s", out});
      ASSERT_EQ(r.exitCode, 0) << r.err;
      for (const PackFile& f : files) {
        const std::string path = out + "/" + Landing(f.name, keep);
        SCOPED_TRACE("profile " + std::to_string(profile) + " " + path);
        EXPECT_EQ(ReadFileBytes(path), f.data);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime == static_cast<time_t>(f.time), keep);
        EXPECT_EQ((st.st_mode & S_IWUSR) == 0, keep && (f.attributes & 1) != 0);
      }
    }
  }
}

// Damage: the first file lies wholly in the first blocks; the last block is
// hit. Without -i the error is reported; either way the first file is whole,
// the file being filled stays short and the files after it never appear.
TEST(ExtractEndToEnd, DamagedArchives) {
  const std::vector<PackFile> files = {{"one.txt", TextLikeBytes(3000, 5)},
                                       {"two.bin", RandomBytes(200000, 6)},
                                       {"three.txt", TextLikeBytes(50, 7)}};
  size_t solidHeaderAt = 0;
  const Bytes good = ReadFileBytes(MakeStub(files, 0, &solidHeaderAt));
  const struct { const char* what; const char* error; } cases[] = {
      {"solid header", "Error #6\nError melting file names !"}, {"data block", "Error #2"}, {"truncated", "Error #4"}};
  for (const auto& c : cases) {
    for (bool ignore : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (ignore ? " with -i" : ""));
      Bytes damaged = good;
      const std::string what = c.what;
      if (what == "solid header") damaged[solidHeaderAt + 12] ^= 0x10;
      if (what == "data block") damaged[damaged.size() - 200] ^= 0x01;
      if (what == "truncated") damaged.resize(damaged.size() - 200);
      const std::string exe = MakeTempDir("e2e-damaged") + "/setup", out = MakeTempDir("e2e-out");
      WriteFileBytes(exe, damaged);
      chmod(exe.c_str(), 0755);
      RunResult r = ignore ? RunProgram({exe, "-s", "-i", out}) : RunProgram({exe, "-s", out});
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_EQ(Contains(r.err, ignore ? "Error #" : c.error), !ignore) << r.err;
      EXPECT_EQ(PathExists(out + "/one.txt"), what != "solid header");
      if (what == "solid header") continue;
      EXPECT_EQ(ReadFileBytes(out + "/one.txt"), files[0].data);
      EXPECT_LT(ReadFileBytes(out + "/two.bin").size(), files[1].data.size());
      EXPECT_FALSE(PathExists(out + "/three.txt"));
    }
  }
}

}  // namespace
