// Launching the execute file (command lines, current folder, waiting) and the
// clean-up that removes this run's files and nothing else. The started
// program is build/tests/echoargs, which reports what it received.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "container/format.h"
#include "launch/launch.h"
#include "packer/packer.h"
#include "support/test_support.h"

namespace {

std::string EchoArgs() { return BuildDir() + "/tests/echoargs"; }

// Each test works in a fresh folder and restores PATH.
class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempDir("launch");
    setenv("DOLM_ECHO_FILE", (dir + "/report.txt").c_str(), 1);
    setenv("DOLM_ECHO_MARKER", (dir + "/marker").c_str(), 1);
  }
  void TearDown() override { setenv("PATH", savedPath.c_str(), 1); }
  // Places a copy of echoargs (without execute permission, as extracted).
  void PlaceProgram(const std::string& path, mode_t mode = 0644) {
    WriteFileBytes(path, ReadFileBytes(EchoArgs()));
    chmod(path.c_str(), mode);
  }
  std::string Formed(std::string path, const std::string& args) {
    char line[520];
    path.resize(path.size() + 1);
    Result formed = FormLaunchCommandLine(&path[0], args.c_str(), line);
    return formed.ok() ? std::string(line) : "<" + std::to_string(formed.error) + ">";
  }
  // The started program's report ("key=value" lines), empty when it did not run.
  std::string Report() { return PathExists(dir + "/report.txt") ? "\n" + ReadText(dir + "/report.txt") : ""; }
  bool Reported(const std::string& key, const std::string& value) {
    return Contains(Report(), "\n" + key + "=" + value + "\n");
  }

  std::string savedPath = getenv("PATH"), dir;
};

TEST_F(LaunchTest, CommandLinesOfProgramsAndDocuments) {
  WriteText(dir + "/script", "#!/bin/sh\n");
  PlaceProgram(dir + "/binary");
  PlaceProgram(dir + "/xdg-open", 0755);  // the opener of documents
  setenv("PATH", dir.c_str(), 1);
  const std::string open = "\"" + dir + "/xdg-open\" ", path519 = "C:\\T\\setup.exe";
  const std::string notFormed = "<" + std::to_string(kSilentFailure) + ">";
  const std::string cases[][3] = {  // path, arguments, command line ("<N>": result N)
      {"C:\\TEMP\\setup.exe", "/q", "\"C:\\TEMP\\setup.exe\" /q "}, {"C:\\T\\go.BAT", "a", "\"C:\\T\\go.BAT\" a "},
      {"C:\\TEMP\\SETUP.EXE", " -x", "\"C:\\TEMP\\SETUP.EXE\"  -x "}, {"C:\\T\\Run.Com", "", "\"C:\\T\\Run.Com\"  "},
      {"C:\\TEMP\\notes.exe.txt", "", "\"C:\\TEMP\\notes.exe.txt\"  "}, {"\"C:\\T\\q.exe\"", "", "\"C:\\T\\q.exe\"  "},
      {"C:\\my.execs\\a.txt", "", "\"C:\\my.execs\\a.txt\"  "}, {"/opt/x/install.sh", "", "\"/opt/x/install.sh\"  "},
      {dir + "/script", "", "\"" + dir + "/script\"  "},  // files that start like POSIX programs
      {dir + "/binary", "", "\"" + dir + "/binary\"  "},
      {"C:\\TEMP\\Read Me.txt", "/p", open + "C:\\TEMP\\Read Me.txt /p "}, {"\"C:\\TEMP\\a.doc\"", "", open + "C:\\TEMP\\a.doc  "},
      {"C:\\" + std::string(260, 'p') + ".exe", "", notFormed},  // overlong paths and lines are not formed
      {path519, std::string(502, 'a'), notFormed},
      {path519, std::string(501, 'a'), "\"" + path519 + "\" " + std::string(501, 'a') + " "},
  };
  for (auto& c : cases) EXPECT_EQ(Formed(c[0], c[1]), c[2]) << c[0];
}

// Every entry below root with its content ("/" for folders).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    entries[e.path().string().substr(root.size())] = e.is_directory() ? "/" : ReadText(e.path().string());
  return entries;
}

// The whole Linux stub, started from its own folder with a relative target
// folder: the execute file gets its arguments, starts in the folder and is
// waited for; what the run extracted goes
// (read-only and hidden files too), what was there before stays, untouched.
// The clean-up finds the folder from the stub's path although the launch has
// changed the current folder.
TEST_F(LaunchTest, StubRunWithDeleteLeavesExactlyWhatWasThereBefore) {
  if (ReadFileBytes(StubPath("dolmsfx-linux")).size() > kMaxArchiveStart)
    GTEST_SKIP() << "this build's stub is too large to carry an archive (sanitizers)";
  std::vector<packer::PackFile> files = {
      {"TemporaryPathForDOLM\\my dir.exe.d\\my setup.exe", ReadFileBytes(EchoArgs()), 0, 0x20},
      {"docs\\a.txt", TextLikeBytes(3000, 0), 946684800, 0x20},
      {"docs\\ro.txt", TextLikeBytes(4000, 1), 946684800, 0x21},
      {"sub\\h.txt", TextLikeBytes(5000, 2), 946684800, 0x22},
      {"empty\\e.txt", {}, 0, 0x20},  // in a folder that was there before: the folder stays
      {"my notes.txt", TextLikeBytes(100, 3), 946684800, 0x27}};
  packer::StoredOptions options;
  options.optionWord = 0x15;  // overwrite, keep attributes, recreate folders; silent
  options.executeText = packer::MakeExecuteText("my dir.exe.d\\my setup.exe", "sleep 1 /q");
  ASSERT_TRUE(WriteProgram(dir + "/pack", LinuxStubWith(files, options, 0)));
  const std::string temp = dir + "/tmp";
  for (const char* d : {"", "/docs", "/empty", "/keep"}) mkdir((temp + d).c_str(), 0755);
  for (const char* f : {"/before.txt", "/docs/mine.txt", "/keep/x.txt", "/theirs-ro.txt", "/.dot"})
    WriteText(temp + f, std::string("theirs ") + f);
  chmod((temp + "/theirs-ro.txt").c_str(), 0444);
  auto before = Snapshot(temp);
  RunResult run = RunProgram({dir + "/pack", "-d", "tmp"}, "", dir);
  EXPECT_TRUE(run.exitCode == 0 && run.err.empty()) << run.err;
  EXPECT_TRUE(Reported("cmdline", temp + "/my dir.exe.d/my setup.exe sleep 1 /q") && Reported("cwd", temp))
      << Report();
  EXPECT_TRUE(PathExists(dir + "/marker"));  // written by the sleeping program just before it ends
  EXPECT_EQ(Snapshot(temp), before);

  // Extracted flat, the execute file is taken by its name from the folder
  // itself; a document goes to the opener, its path split at the blanks.
  PlaceProgram(dir + "/xdg-open", 0755);
  setenv("PATH", dir.c_str(), 1);
  options.optionWord = 0x01;
  options.executeText = packer::MakeExecuteText("bin\\my notes.txt", "");
  ASSERT_TRUE(WriteProgram(dir + "/flat", LinuxStubWith(files, options, 0)));
  run = RunProgram({dir + "/flat", dir + "/flat-out"});
  EXPECT_TRUE(Reported("argc", "3") && Reported("arg1", dir + "/flat-out\\my") && Reported("arg2", "notes.txt"))
      << Report() << run.err;
  // A document that no program opens is shown in a box.
  unlink((dir + "/xdg-open").c_str());
  run = RunProgram({dir + "/flat", dir + "/doc-out"});
  EXPECT_EQ(run.err, " DOLM Self Extractor Error \nNo application is associated with the specified file.\n\n");
  EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
