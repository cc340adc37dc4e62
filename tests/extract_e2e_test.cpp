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

constexpr uint32_t kOverwrite = 1u << kOverWriteExistingFiles;

PackFile File(const std::string& name, Bytes data, uint32_t time, uint8_t attributes = 0x20) {
  PackFile f;
  f.name = name;
  f.data = std::move(data);
  f.time = time;
  f.attributes = attributes;
  return f;
}

struct Packed {
  std::string exe;
  size_t solidHeaderAt;  // file offset of the solid header
  size_t size;
};

Packed MakeStub(const std::vector<PackFile>& files, uint32_t word, int profile) {
  packer::StoredOptions options;
  options.optionWord = word | kOverwrite;
  const Bytes archive = packer::BuildArchive(files, options, profile, 6);
  const std::string exe = MakeTempDir("e2e-stub") + "/setup";
  EXPECT_EQ(packer::AppendToStub(StubPath("dolmsfx-linux"), archive, exe), "");
  const size_t stub = ReadFileBytes(StubPath("dolmsfx-linux")).size();
  return {exe, stub + packer::WriteOptionBlock(options).size() + kArchiveHeaderSize,
          stub + archive.size()};
}

RunResult RunExtractor(const std::string& exe, const std::string& folder, bool ignoreErrors = false,
                       bool keepAndRecreate = false) {
  std::vector<std::string> argv = {exe, "-s"};
  if (ignoreErrors) argv.push_back("-i");
  if (keepAndRecreate) argv.insert(argv.end(), {"-k", "-r"});
  argv.push_back(folder);
  return RunProgram(argv);
}

// Where a stored name lands: below the marker with folders, else the bare name.
std::string Landing(const std::string& name, bool folders) {
  std::string tail = name;
  if (folders) {
    size_t marker = name.find(DOLM_TEMP_MARKER);
    if (marker != std::string::npos) tail = name.substr(marker + kTempMarkerLength);
  } else {
    size_t slash = name.rfind('\\');
    if (slash != std::string::npos) tail = name.substr(slash + 1);
  }
  for (char& c : tail)
    if (c == '\\') c = '/';
  return tail;
}

std::vector<PackFile> SampleSet(int profile) {
  const size_t window = 32768u << profile;
  return {
      File("Files\\TemporaryPathForDOLM\\setup.ini", TextLikeBytes(1000, 1), 946684800),
      File("Files\\TemporaryPathForDOLM\\docs\\empty.txt", {}, 1000000000, 0x21),
      // Ends exactly at the first window boundary (noise where packing it is quick).
      File("Files\\TemporaryPathForDOLM\\docs\\edge.bin",
           profile <= 1 ? RandomBytes(window - 1000, 2) : TextLikeBytes(window - 1000, 2), 1100000000),
      // Larger than the window (kept moderate for the widest windows).
      File("Files\\TemporaryPathForDOLM\\big.dat", TextLikeBytes(profile <= 1 ? 3 * window + 17 : 300000, 3),
           1200000000, 0x21),
      File("Files\\TemporaryPathForDOLM\\tail.txt", TextLikeBytes(10, 4), 1300000000),
  };
}

// Stored option word 0, then the same archive with the switches k and r,
// which set KeepOriginalFileAttrib and RecreateOriginalFolders.
TEST(ExtractEndToEnd, ProfilesFoldersAndAttributes) {
  for (int profile : {0, 1, 6, 8}) {
    const std::vector<PackFile> files = SampleSet(profile);
    const Packed stub = MakeStub(files, 0, profile);
    for (bool keep : {false, true}) {
      const std::string out = MakeTempDir("e2e-out");
      RunResult r = RunExtractor(stub.exe, out, false, keep);
      ASSERT_EQ(r.exitCode, 0) << r.err;
      for (const PackFile& f : files) {
        const std::string path = out + "/" + Landing(f.name, keep);
        SCOPED_TRACE("profile " + std::to_string(profile) + " " + path);
        EXPECT_EQ(ReadFileBytes(path), f.data);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        if (keep) {
          EXPECT_EQ(st.st_mtime, static_cast<time_t>(f.time));
          EXPECT_EQ((st.st_mode & S_IWUSR) == 0, (f.attributes & 1) != 0);
        } else {
          EXPECT_NE(st.st_mtime, static_cast<time_t>(f.time));
          EXPECT_NE(st.st_mode & S_IWUSR, 0u);
        }
      }
    }
  }
}

// Damage: the first file lies wholly in the first blocks; the last block is hit.
struct DamageCase {
  const char* what;
  bool ignore;
  const char* error;     // text expected on standard error, "" for none
  bool firstComplete;    // the first file is there and whole
  bool anyFile;          // something was written at all
};

TEST(ExtractEndToEnd, DamagedArchives) {
  const std::vector<PackFile> files = {
      File("one.txt", TextLikeBytes(3000, 5), 946684800),
      File("two.bin", RandomBytes(200000, 6), 946684800),
      File("three.txt", TextLikeBytes(50, 7), 946684800),
  };
  const Packed stub = MakeStub(files, 0, 0);
  const Bytes good = ReadFileBytes(stub.exe);

  const DamageCase cases[] = {
      {"solid header", false, "Error #6\nError melting file names !", false, false},
      {"solid header", true, "", false, false},
      {"data block", false, "Error #2", true, true},
      {"data block", true, "", true, true},
      {"truncated", false, "Error #4", true, true},
      {"truncated", true, "", true, true},
  };
  for (const DamageCase& c : cases) {
    Bytes damaged = good;
    const std::string what = c.what;
    if (what == "solid header") damaged[stub.solidHeaderAt + 12] ^= 0x10;
    if (what == "data block") damaged[damaged.size() - 200] ^= 0x01;
    if (what == "truncated") damaged.resize(damaged.size() - 200);
    const std::string exe = MakeTempDir("e2e-damaged") + "/setup";
    WriteFileBytes(exe, damaged);
    chmod(exe.c_str(), 0755);
    const std::string out = MakeTempDir("e2e-out");

    RunResult r = RunExtractor(exe, out, c.ignore);
    SCOPED_TRACE(std::string(c.what) + (c.ignore ? " with -i" : ""));
    EXPECT_EQ(r.exitCode, 0);
    if (*c.error) {
      EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.err.find("Error #"), std::string::npos) << r.err;
    }
    struct stat st;
    EXPECT_EQ(stat((out + "/one.txt").c_str(), &st) == 0, c.anyFile);
    if (c.firstComplete) EXPECT_EQ(ReadFileBytes(out + "/one.txt"), files[0].data);
    // The file being filled stays short and the files after it never appear.
    if (c.anyFile) {
      EXPECT_LT(ReadFileBytes(out + "/two.bin").size(), files[1].data.size());
      EXPECT_NE(stat((out + "/three.txt").c_str(), &st), 0);
    }
  }
}

}  // namespace
