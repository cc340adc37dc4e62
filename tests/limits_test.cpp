// Texts, counts and paths beyond the stub's fixed buffers, one table row
// each, run through the Linux stub: a long command line, many switches and
// arguments, a folder argument too long for its buffer, stored texts longer
// than the stub reads, a stored name whose target path is too long, and
// execute texts without their closing bracket. None may crash, hang or write
// anywhere but where the row expects; the sanitizer build runs the same rows.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "startup/startup.h"
#include "support/test_support.h"

namespace {

enum class Outcome {
  kExact,       // every stored file in the target folder, nothing else
  kNone,        // nothing written at all
  kAllButLong,  // every file but the one with the over-long name
  kLaunched,    // every file, and the execute file ran in the target folder
};

struct LimitCase {
  const char* name;
  std::string tempText;           // stored temporary folder text
  std::string execText;           // stored execute text
  std::vector<std::string> args;  // after the program path
  int error;                      // the stub's error number, -1 for none, -2 a usage error
  Outcome outcome;
  std::string folder = "out";     // where the files are expected
};

const std::string kLongName = std::string(251, 'n') + ".txt";  // 255 characters
const std::string kLongFolder(40, 'f');  // 40 + 1 + 255 > 259 characters of target path

std::vector<packer::PackFile> Files(bool longName) {
  const std::string script = "#!/bin/sh\necho ran > launched\n";
  std::vector<packer::PackFile> files = {{"setup.exe", {script.begin(), script.end()}, 1000000000u, 0x20},
                                         {"docs\\readme.txt", TextLikeBytes(5000, 1), 1000000000u, 0x20},
                                         {"data.bin", RandomBytes(3000, 2), 1000000000u, 0x20}};
  if (longName) files.push_back({kLongName, TextLikeBytes(100, 3), 1000000000u, 0x20});  // the last one
  return files;
}

std::vector<std::string> Repeat(const std::string& text, int n, bool numbered) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(numbered ? text + std::to_string(i) : text);
  return out;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<LimitCase> Cases() {
  const std::string over780(900, 't');
  return {
      {"300 switches, a 900-character command line", "", "", Join(Repeat("-s", 300, false), {"out"}), -1,
       Outcome::kExact},
      {"a second folder argument (a usage error on Linux)", "", "", {"-s", "out", std::string(590, 'x')}, -2,
       Outcome::kNone},
      {"400-character folder argument", "", "", {"-s", std::string(400, 'd')}, 0, Outcome::kNone},
      {"stored folder text above 780", over780, "", {"-s", "out"}, 20, Outcome::kNone},
      {"stored execute text above 780", "", "\"[" + over780 + "]\"", {"-s", "out"}, 20, Outcome::kNone},
      {"255-character name, target path above 259", "", "", {"-s", kLongFolder}, 0,
       Outcome::kAllButLong, kLongFolder},
      {"the same with -i", "", "", {"-s", "-i", kLongFolder}, -1, Outcome::kAllButLong, kLongFolder},
      {"execute text without closing bracket", "", "\"[setup.exe\"", {"-s", "out"}, -1, Outcome::kLaunched},
      {"execute text without bracket or quote", "", "\"[setup.exe", {"-s", "out"}, -1, Outcome::kLaunched},
  };
}

TEST(Limits, BeyondTheBuffersNothingCrashesOrLandsOutOfPlace) {
  const std::string root = MakeTempDir("limits");
  // A default temporary folder, should a row fall back to it, stays inside the test area.
  const std::string tmp = root + "/tmp";
  mkdir(tmp.c_str(), 0755);
  setenv("TMPDIR", tmp.c_str(), 1);
  int row = 0;
  for (const LimitCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    // Overwrite, keep attributes, recreate folders; silent.
    const packer::Bytes options = packer::WriteOptionBlock(kOverwriteKeepRecreate, c.tempText, c.execText);
    std::vector<packer::PackFile> files = Files(c.outcome == Outcome::kAllButLong);
    const std::string area = root + "/case" + std::to_string(row++), exe = area + "/sfx";
    RunOptions run;
    run.cwd = area + "/run";
    run.timeoutSeconds = 30;
    run.addressLimitMb = 256;
    mkdir(area.c_str(), 0755);
    mkdir(run.cwd.c_str(), 0755);
    ASSERT_TRUE(WriteProgram(exe, LinuxStubWith(files, options, 0)));

    const RunResult r = RunProgram(Join({exe}, c.args), run);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0) << r.err;
    // The Linux stub's status: 2 for a usage error, 4 after an error message.
    EXPECT_EQ(r.exitCode, c.error == -2 ? 2 : c.error >= 0 ? 4 : 0) << r.err;
    EXPECT_EQ(StubErrorNumber(r.err), c.error == -2 ? -1 : c.error) << r.err;
    if (c.outcome == Outcome::kAllButLong) files.pop_back();
    if (c.outcome == Outcome::kNone) files.clear();
    std::map<std::string, std::vector<uint8_t>> want = ExpectedFiles(files, c.folder);
    if (c.outcome == Outcome::kLaunched) want[c.folder + "/launched"] = {'r', 'a', 'n', '\n'};
    EXPECT_EQ(FilesBelow(run.cwd), want) << r.err;
    EXPECT_TRUE(FolderEntries(tmp).empty()) << "wrote into the default temporary folder";
    EXPECT_EQ(FolderEntries(area).size(), 2u) << "wrote beside its working folder";
  }
  unsetenv("TMPDIR");
  RemoveTree(root);
}

TEST(Limits, TheSwitchParserKeepsItsFirst259Arguments) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += " -s arg" + std::to_string(i);
  CommandLineParser parser;
  BuildCommandLineParser(&parser, text.c_str());
  int switches = 0, arguments = 0;
  while (NextSwitch(&parser) != 0) ++switches;
  for (const char* a; (a = NextArgument(&parser)) != nullptr; ++arguments)
    if (arguments == 258) EXPECT_STREQ(a, "arg258");
  DestroyCommandLineParser(&parser);
  EXPECT_EQ(switches, 259);
  EXPECT_EQ(arguments, 259);
}

}  // namespace
