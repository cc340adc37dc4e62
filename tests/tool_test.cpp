// End-to-end tests of the dolm tool: they run build/dolm on generated folders
// and on archives made with the packer directly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "packer/packer.h"
#include "support/test_support.h"

namespace {

RunResult RunDolm(std::vector<std::string> args) {
  args.insert(args.begin(), BuildDir() + "/dolm");
  return RunProgram(args);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Iso(time_t seconds) {
  char text[32];
  struct tm parts;
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&seconds, &parts));
  return text;
}

// One generated input file: where it lies below the input root, its stored
// name, content and time.
struct Input {
  std::string relative, stored;
  std::vector<uint8_t> data;
  time_t time;
  bool readOnly;
};

// A folder "payload" with nested files of several kinds, plus a loose file.
std::vector<Input> MakeInputs(const std::string& root) {
  std::vector<Input> inputs = {
      {"setup.sh", "setup.sh", TextLikeBytes(700, 1), 1000000000, false},
      {"payload/readme.txt", "payload\\readme.txt", TextLikeBytes(90000, 2), 1100000000, false},
      {"payload/docs/data.bin", "payload\\docs\\data.bin", RandomBytes(150000, 3), 1200000000, false},
      {"payload/docs/empty.txt", "payload\\docs\\empty.txt", {}, 1300000000, false},
      {"payload/locked.txt", "payload\\locked.txt", TextLikeBytes(5000, 4), 1400000000, true},
  };
  mkdir((root + "/payload").c_str(), 0755);
  mkdir((root + "/payload/docs").c_str(), 0755);
  for (const auto& in : inputs) {
    std::string path = root + "/" + in.relative;
    WriteFileBytes(path, in.data);
    struct timespec times[2] = {{in.time, 0}, {in.time, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    if (in.readOnly) chmod(path.c_str(), 0444);
  }
  return inputs;
}

void ExpectExtracted(const std::vector<Input>& inputs, const std::string& dir) {
  for (const auto& in : inputs) {
    std::string path = dir + "/" + in.relative;
    SCOPED_TRACE(path);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(ReadFileBytes(path), in.data);
    EXPECT_EQ(st.st_mtime, in.time);
    EXPECT_EQ((st.st_mode & S_IWUSR) == 0, in.readOnly);
  }
}

std::string JsonName(const std::string& stored) {
  std::string out;
  for (char c : stored) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return "\"" + out + "\"";
}

// Packs the inputs below root into out with the Linux stub.
RunResult Pack(const std::string& root, const std::string& out, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"pack", "-o", out, "--stub", "linux"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.insert(args.end(), {root + "/payload", root + "/setup.sh"});
  return RunDolm(args);
}

// A self-extractor with the given stored names, made with the packer directly.
std::string PackNames(const std::string& root, const std::vector<std::string>& names) {
  std::vector<packer::PackFile> files;
  for (const auto& name : names) files.push_back({name, {'d', 'a', 't', 'a'}, 1000000000, 0x20});
  std::string sfx = root + "/sfx";
  EXPECT_EQ(packer::AppendToStub(StubPath("dolmsfx-linux"), packer::BuildArchive(files, {}, 0, 5), sfx), "");
  return sfx;
}

TEST(ToolRoundTrip, PackListTestAndExtract) {
  std::string root = MakeTempDir("tool-rt");
  std::vector<Input> inputs = MakeInputs(root);
  std::string sfx = root + "/setup-sfx";
  RunResult packed = Pack(root, sfx, {"--window", "64K", "--level", "9", "--exec", "setup.sh", "--args",
                                      "-x ../y", "--silent", "--delete-when-done", "--temp", "C:\\Out"});
  ASSERT_EQ(packed.exitCode, 0) << packed.err;
  struct stat st;
  ASSERT_EQ(stat(sfx.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_FALSE(Exists(sfx + ".part"));

  RunResult list = RunDolm({"list", sfx});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  for (const auto& in : inputs)
    EXPECT_TRUE(Has(list.out, in.stored) && Has(list.out, Iso(in.time))) << in.stored;
  for (const char* part : {"64K", "-x ../y", "C:\\Out"}) EXPECT_TRUE(Has(list.out, part)) << part;
  EXPECT_FALSE(Has(list.out, "UNSAFE"));

  RunResult json = RunDolm({"list", sfx, "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  for (const auto& in : inputs) {
    std::string entry = "{\"name\": " + JsonName(in.stored) + ", \"size\": " + std::to_string(in.data.size()) +
                        ", \"time\": \"" + Iso(in.time) + "\", \"timeSeconds\": " + std::to_string(in.time) +
                        ", \"attributes\": " + (in.readOnly ? "33" : "32");
    EXPECT_TRUE(Has(json.out, entry)) << entry;
  }
  for (const char* field : {"\"OverWriteExistingFiles\": 0", "\"KeepOriginalFileAttrib\": 1",
                            "\"RecreateOriginalFolders\": 1", "\"DeleteSFXwhenDone\": 1",
                            "\"PromptUserForOptions\": 0", "\"IgnoreErrors\": 0",
                            "\"executeFile\": \"setup.sh\"", "\"profileIndex\": 1"})
    EXPECT_TRUE(Has(json.out, field)) << field;

  RunResult test = RunDolm({"test", sfx});
  EXPECT_EQ(test.exitCode, 0) << test.err;
  RunResult extract = RunDolm({"extract", sfx, "-C", root + "/out"});
  ASSERT_EQ(extract.exitCode, 0) << extract.err;
  ExpectExtracted(inputs, root + "/out");

  // Existing files are kept unless --overwrite is given, which also replaces
  // the read-only file from the first run.
  const std::string changed = root + "/out/" + inputs[1].relative;
  WriteFileBytes(changed, {'m', 'i', 'n', 'e'});
  RunResult again = RunDolm({"extract", sfx, "-C", root + "/out"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_TRUE(Has(again.err, "--overwrite")) << again.err;
  EXPECT_EQ(ReadFileBytes(changed), (std::vector<uint8_t>{'m', 'i', 'n', 'e'}));
  RunResult forced = RunDolm({"extract", sfx, "-C", root + "/out", "--overwrite"});
  ASSERT_EQ(forced.exitCode, 0) << forced.err;
  ExpectExtracted(inputs, root + "/out");
}

TEST(ToolRoundTrip, SameInputsGiveSameBytesAndSourceDateEpochCapsTimes) {
  std::string root = MakeTempDir("tool-repro");
  std::vector<Input> inputs = MakeInputs(root);
  std::string a = root + "/a", b = root + "/b";
  ASSERT_EQ(RunDolm({"pack", "-o", a, "--stub", "linux", root + "/payload", root + "/setup.sh"}).exitCode, 0);
  ASSERT_EQ(RunDolm({"pack", "-o", b, "--stub", "linux", root + "/setup.sh", root + "/payload"}).exitCode, 0);
  EXPECT_EQ(ReadFileBytes(a), ReadFileBytes(b));

  const time_t cap = 1250000000;
  setenv("SOURCE_DATE_EPOCH", std::to_string(cap).c_str(), 1);
  RunResult capped = Pack(root, root + "/c");
  setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
  RunResult bad = Pack(root, root + "/d");
  unsetenv("SOURCE_DATE_EPOCH");
  ASSERT_EQ(capped.exitCode, 0) << capped.err;
  RunResult json = RunDolm({"list", "--json", root + "/c"});
  for (const auto& in : inputs) {
    std::string entry = JsonName(in.stored) + ", \"size\": " + std::to_string(in.data.size()) +
                        ", \"time\": \"" + Iso(in.time < cap ? in.time : cap) + "\"";
    EXPECT_TRUE(Has(json.out, entry)) << entry;
  }
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_TRUE(Has(bad.err, "SOURCE_DATE_EPOCH"));
}

TEST(ToolNames, PackRefusesNamesWindowsCannotTakeAndWritesNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"CON"}, {"nul.txt"}, {"Lpt1.log"}, {"com9"}, {"a:b"}, {"what?"}, {"trailing."},
      {"Readme.txt", "README.TXT"}, {"back\\slash"},
  };
  for (const auto& names : cases) {
    SCOPED_TRACE(names.back());
    std::string root = MakeTempDir("tool-badname");
    mkdir((root + "/in").c_str(), 0755);
    for (const auto& name : names) WriteFileBytes(root + "/in/" + name, {'x'});
    RunResult r = RunDolm({"pack", "-o", root + "/sfx", "--stub", "linux", root + "/in"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, names.back())) << r.err;
    EXPECT_FALSE(Exists(root + "/sfx") || Exists(root + "/sfx.part"));
  }
}

// Archives made with the packer directly can hold any name; the tool must
// flag them in list, fail test and refuse to extract them.
TEST(ToolNames, ListFlagsTestFailsExtractRefusesUnsafeStoredNames) {
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {  // names, reason
      {{"..\\evil.txt"}, "'..'"},          {{"sub\\..\\..\\evil.txt"}, "'..'"},
      {{"\\abs.txt"}, "absolute"},         {{"C:\\drive.txt"}, "drive"},
      {{"dir\\AUX.dat"}, "reserved"},      {{"stream.txt:hidden"}, "':'"},
      {{"Same.txt", "same.TXT"}, "case"},  {{"x", "X\\y"}, "folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.back());
    std::string root = MakeTempDir("tool-unsafe");
    std::string sfx = PackNames(root, c.first);
    RunResult list = RunDolm({"list", sfx});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_TRUE(Has(list.out, "UNSAFE") && Has(list.out, c.second)) << list.out;
    EXPECT_TRUE(Has(RunDolm({"list", "--json", sfx}).out, "\"unsafe\": \""));
    RunResult test = RunDolm({"test", sfx});
    EXPECT_EQ(test.exitCode, 1);
    EXPECT_TRUE(Has(test.err, "unsafe"));
    RunResult extract = RunDolm({"extract", sfx, "-C", root + "/deep/out"});
    EXPECT_EQ(extract.exitCode, 1);
    EXPECT_TRUE(Has(extract.err, c.first.back())) << extract.err;
    EXPECT_FALSE(Exists(root + "/deep/evil.txt") || Exists(root + "/deep/out/evil.txt"));
  }
  // Asked for explicitly, the '..' name is written where it points.
  std::string root = MakeTempDir("tool-unsafe-allowed");
  RunResult allowed = RunDolm({"extract", PackNames(root, {"..\\evil.txt"}), "-C", root + "/inner",
                               "--allow-unsafe-paths"});
  EXPECT_EQ(allowed.exitCode, 0) << allowed.err;
  EXPECT_TRUE(Exists(root + "/evil.txt"));
}

TEST(ToolDamage, TestNamesErrorAndOffsetAndExtractLeavesNoPartialFile) {
  std::string root = MakeTempDir("tool-damage");
  std::vector<Input> inputs = MakeInputs(root);
  ASSERT_EQ(Pack(root, root + "/good", {"--window", "32K"}).exitCode, 0);
  std::vector<uint8_t> bytes = ReadFileBytes(root + "/good");
  const long header = static_cast<long>(ReadFileBytes(StubPath("dolmsfx-linux")).size()) + 73;  // no texts
  const long end = static_cast<long>(bytes.size());
  struct Case {
    const char* what;
    long position;  // byte to flip, or with cut set, the new length
    bool cut;
    const char* error;
    long earliest;  // the reported offset lies at or behind this byte
  } cases[] = {
      {"marker", header, false, "Error #21", header},
      {"archive header CRC", header + 33, false, "Error #1", header},
      {"solid header", header + 36 + 12, false, "Error #6", header + 36},
      {"data block", end - 3000, false, "Error #2", end - 3000},
      {"truncated", end - 700, true, "Error #4", end - 700},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> damaged = bytes;
    if (c.cut) damaged.resize(static_cast<size_t>(c.position));
    else damaged[static_cast<size_t>(c.position)] ^= 0x5A;
    std::string file = root + "/damaged";
    WriteFileBytes(file, damaged);
    RunResult test = RunDolm({"test", file});
    EXPECT_EQ(test.exitCode, 1);
    EXPECT_TRUE(Has(test.err, c.error)) << test.err;
    size_t at = test.err.find("byte offset ");
    long offset = at == std::string::npos ? -1 : std::atol(test.err.c_str() + at + 12);
    EXPECT_GE(offset, c.earliest) << test.err;
    EXPECT_LE(offset, static_cast<long>(damaged.size())) << test.err;

    // Whatever extract leaves behind is complete.
    std::string out = root + "/out-" + std::to_string(c.position);
    RunResult extract = RunDolm({"extract", file, "-C", out});
    EXPECT_EQ(extract.exitCode, 1);
    EXPECT_TRUE(Has(extract.err, c.error)) << extract.err;
    for (const auto& in : inputs)
      if (Exists(out + "/" + in.relative))
        EXPECT_EQ(ReadFileBytes(out + "/" + in.relative), in.data) << in.relative;
  }
}

// A minimal PE image holding the overlay signature once, which osslsigncode
// accepts as a stub to sign.
std::vector<uint8_t> MinimalPeStub() {
  std::vector<uint8_t> image(0x400, 0);
  auto put16 = [&](size_t at, uint16_t v) { image[at] = v & 0xFF, image[at + 1] = v >> 8; };
  auto put32 = [&](size_t at, uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  image[0] = 'M', image[1] = 'Z';
  put32(0x3C, 0x40);
  image[0x40] = 'P', image[0x41] = 'E';
  put16(0x44, 0x14C), put16(0x46, 1), put16(0x54, 0xE0), put16(0x56, 0x0102);
  const size_t opt = 0x58;
  put16(opt, 0x10B), put32(opt + 4, 0x200), put32(opt + 16, 0x1000), put32(opt + 20, 0x1000);
  put32(opt + 28, 0x400000), put32(opt + 32, 0x1000), put32(opt + 36, 0x200), put16(opt + 40, 4);
  put16(opt + 48, 4), put32(opt + 56, 0x2000), put32(opt + 60, 0x200), put16(opt + 68, 2);
  put32(opt + 72, 0x100000), put32(opt + 76, 0x1000), put32(opt + 80, 0x100000), put32(opt + 84, 0x1000);
  put32(opt + 92, 16);
  const size_t section = opt + 0xE0;
  for (int i = 0; i < 5; ++i) image[section + i] = static_cast<uint8_t>(".data"[i]);
  put32(section + 8, 0x200), put32(section + 12, 0x1000), put32(section + 16, 0x200);
  put32(section + 20, 0x200), put32(section + 36, 0x40000040);
  const char signature[] = "Tar_vex_For_Windows_95_98_NT_(0xA001B2X3AAE660KKL567BABE)";
  for (size_t i = 0; i + 1 < sizeof signature; ++i) image[0x200 + i] = static_cast<uint8_t>(signature[i]);
  return image;
}

TEST(ToolSigned, AuthenticodeSignedFileStillListsTestsAndExtracts) {
  std::string root = MakeTempDir("tool-signed");
  std::vector<Input> inputs = MakeInputs(root);
  std::string stub = root + "/stub.exe", sfx = root + "/setup.exe", signedFile = root + "/signed.exe";
  WriteFileBytes(stub, MinimalPeStub());
  RunResult packed = RunDolm({"pack", "-o", sfx, "--stub", stub, root + "/payload", root + "/setup.sh"});
  ASSERT_EQ(packed.exitCode, 0) << packed.err;
  RunResult key = RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                              root + "/key.pem", "-out", root + "/cert.pem", "-days", "2",
                              "-subj", "/CN=dolm test"});
  ASSERT_EQ(key.exitCode, 0) << key.err;
  RunResult sign = RunProgram({"/usr/bin/osslsigncode", "sign", "-certs", root + "/cert.pem", "-key",
                               root + "/key.pem", "-in", sfx, "-out", signedFile});
  ASSERT_EQ(sign.exitCode, 0) << sign.out << sign.err;
  ASSERT_GT(ReadFileBytes(signedFile).size(), ReadFileBytes(sfx).size());

  RunResult list = RunDolm({"list", signedFile});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_TRUE(Has(list.out, inputs[1].stored));
  RunResult test = RunDolm({"test", signedFile});
  EXPECT_EQ(test.exitCode, 0) << test.err;
  EXPECT_TRUE(Has(test.out, "after the last block")) << test.out;
  RunResult extract = RunDolm({"extract", signedFile, "-C", root + "/out"});
  ASSERT_EQ(extract.exitCode, 0) << extract.err;
  ExpectExtracted(inputs, root + "/out");
}

TEST(ToolCommandLine, BadInputGivesClearMessageAndExitCode) {
  std::string root = MakeTempDir("tool-cli");
  std::string text = root + "/plain.txt", x = root + "/x";
  WriteFileBytes(text, TextLikeBytes(4000, 9));
  // Arguments, exit code, a text the message must mention.
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{"frobnicate"}, 2, "frobnicate"},
      {{"pack", "-o", x}, 2, "input"},
      {{"pack", text}, 2, "-o"},
      {{"pack", "-o", x, "--stub", "linux", root + "/missing"}, 1, root + "/missing"},
      {{"pack", "-o", x, "--stub", "linux", "--window", "3K", text}, 2, "3K"},
      {{"pack", "-o", x, "--stub", "linux", "--level", "0", text}, 2, "--level"},
      {{"pack", "-o", x, "--stub", text, text}, 1, "signature"},
      {{"pack", "-o", root, "--stub", "linux", text}, 1, "folder"},
      {{"list", text}, 1, "Error #"},
      {{"test"}, 2, "archive"},
      {{"extract", text, "--bogus"}, 2, "--bogus"},
  };
  for (const auto& [args, exitCode, mention] : cases) {
    RunResult r = RunDolm(args);
    SCOPED_TRACE(args[0] + " " + mention);
    EXPECT_EQ(r.exitCode, exitCode) << r.err;
    EXPECT_TRUE(Has(r.err, mention)) << r.err;
  }
  EXPECT_FALSE(Exists(x));
  using Args = std::vector<std::string>;
  for (const Args& help : {Args{"--help"}, Args{"pack", "--help"}, Args{"extract", "--help"}}) {
    RunResult r = RunDolm(help);
    EXPECT_EQ(r.exitCode, 0) << help[0];
    EXPECT_EQ(r.out.rfind("Usage: dolm", 0), 0u) << help[0];
  }
}

}  // namespace
