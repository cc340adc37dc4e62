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

using packer::PackFile;

// Where a stored name lands: below the marker with folders, else the bare name.
std::string Landing(const std::string& name, bool folders) {
  size_t marker = name.find(DOLM_TEMP_MARKER);
  std::string tail = !folders ? name.substr(name.rfind('\\') + 1)
                     : marker != std::string::npos ? name.substr(marker + kTempMarkerLength) : name;
  for (char& c : tail)
    if (c == '\\') c = '/';
  return tail;
}

// Stored option word "overwrite" only, then the same archive with the
// switches k and r, which set KeepOriginalFileAttrib and
// RecreateOriginalFolders. The smallest and the largest window: big.dat
// passes the small one several times.
TEST(ExtractEndToEnd, ProfilesFoldersAndAttributes) {
  for (int profile : {0, 8}) {
    const std::string dir = "Files\\TemporaryPathForDOLM\\";
    const std::vector<PackFile> files = {
        {dir + "setup.ini", TextLikeBytes(1000, 1), 946684800, 0x20},
        {dir + "docs\\empty.txt", {}, 1000000000, 0x21},
        {dir + "big.dat", TextLikeBytes(300000, 3), 1200000000, 0x21},
        {dir + "tail.txt", TextLikeBytes(10, 4), 1300000000, 0x20},
    };
    packer::StoredOptions options;
    options.optionWord = 1u << kOverWriteExistingFiles;
    const std::string exe = MakeTempDir("e2e-stub") + "/setup";
    ASSERT_EQ(packer::AppendToStub(StubPath("dolmsfx-linux"), packer::BuildArchive(files, options, profile, 6), exe),
              "");
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

}  // namespace
