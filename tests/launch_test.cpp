// Launching the execute file (command lines, current folder, waiting) and the
// clean-up that removes this run's files and nothing else. The started
// program is build/tests/echoargs, which reports what it received.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "container/container.h"
#include "container/format.h"
#include "launch/launch.h"
#include "output/output.h"
#include "packer/packer.h"
#include "startup/startup.h"
#include "support/test_support.h"

namespace {

const uint32_t kRecreate = 1u << kRecreateOriginalFolders;
const uint32_t kDelete = 1u << kDeleteSFXwhenDone;

std::string EchoArgs() { return BuildDir() + "/tests/echoargs"; }

std::string CurrentFolder() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? buf : "";
}

// Each test works in a fresh folder with a fresh stub state, restores the
// current folder and PATH, and holds up to four extracted file records.
class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFolder = CurrentFolder();
    savedPath = getenv("PATH");
    dir = MakeTempDir("launch");
    report = dir + "/report.txt";
    setenv("DOLM_ECHO_FILE", report.c_str(), 1);
    setenv("DOLM_ECHO_MARKER", (dir + "/marker").c_str(), 1);
    memset(&gStartup, 0, sizeof gStartup);
    memset(&gContainer, 0, sizeof gContainer);
    gExpand.outputFile = nullptr;
    gOverwriteAll = 0;
    ForgetWrittenPaths();
    savedFiles = gFiles;
    gFiles = FileTable{records, 4, 0};
  }
  void TearDown() override {
    gFiles = savedFiles;
    ASSERT_EQ(chdir(savedFolder.c_str()), 0);
    setenv("PATH", savedPath.c_str(), 1);
  }
  // Places a copy of echoargs (without execute permission, as extracted).
  void PlaceProgram(const std::string& path) {
    WriteFileBytes(path, ReadFileBytes(EchoArgs()));
    chmod(path.c_str(), 0644);
  }
  void SetArgs(const std::string& args) {
    snprintf(gContainer.execArgs, sizeof gContainer.execArgs, "%s", args.c_str());
  }
  std::string Formed(const std::string& path) {
    char text[520], line[520];
    snprintf(text, sizeof text, "%s", path.c_str());
    return FormLaunchCommandLine(text, line) == 0 ? std::string(line) : std::string("<none>");
  }
  int Launch(const std::string& file) {
    char path[520];
    snprintf(path, sizeof path, "%s", file.c_str());
    return LaunchExecuteFile(path, 1, dir.c_str());
  }
  // The started program's report ("key=value" lines), empty when it did not run.
  std::string Report() { return PathExists(report) ? "\n" + ReadText(report) : ""; }
  bool Reported(const std::string& key, const std::string& value) {
    return Contains(Report(), "\n" + key + "=" + value + "\n");
  }
  // Extracts a file as the expansion does, with stored attributes.
  void Extract(const char* name, uint8_t attributes) {
    FileRecord& r = records[gFiles.count];
    r = FileRecord{};
    snprintf(r.name, sizeof r.name, "%s", name);
    r.attributes = attributes;
    gExpand.writeFlag = 1;
    ASSERT_EQ(OpenTarget(name), 1);
    fputs("content", gExpand.outputFile);
    FinishFile(gExpand.outputFile, gFiles.count++, 1);
  }
  void SetRun(const std::string& temp, uint32_t word, const std::string& commandLine) {
    snprintf(gStartup.tempFolder, sizeof gStartup.tempFolder, "%s", temp.c_str());
    gContainer.options.optionWord = word;
    snprintf(gStartup.commandLine, sizeof gStartup.commandLine, "%s", commandLine.c_str());
  }

  std::string savedFolder, savedPath, dir, report;
  FileRecord records[4];
  FileTable savedFiles;
};

TEST_F(LaunchTest, ProgramCommandLines) {
  const char* cases[][3] = {  // path, arguments, command line
      {"C:\\TEMP\\setup.exe", "/q", "\"C:\\TEMP\\setup.exe\" /q "},
      {"C:\\TEMP\\setup.exe", "", "\"C:\\TEMP\\setup.exe\"  "},
      {"C:\\TEMP\\SETUP.EXE", " -x", "\"C:\\TEMP\\SETUP.EXE\"  -x "},
      {"C:\\TEMP\\notes.exe.txt", "", "\"C:\\TEMP\\notes.exe.txt\"  "},
      {"C:\\my.execs\\a.txt", "", "\"C:\\my.execs\\a.txt\"  "},
      {"C:\\T\\Run.Com", "", "\"C:\\T\\Run.Com\"  "},
      {"C:\\T\\go.BAT", "a", "\"C:\\T\\go.BAT\" a "},
      {"\"C:\\T\\q.exe\"", "", "\"C:\\T\\q.exe\"  "},
      {"/opt/x/install.sh", "", "\"/opt/x/install.sh\"  "},
  };
  for (auto& c : cases) {
    SetArgs(c[1]);
    EXPECT_EQ(Formed(c[0]), c[2]) << c[0];
  }
  // Files without a program name that start like POSIX programs.
  WriteText(dir + "/script", "#!/bin/sh\n");
  PlaceProgram(dir + "/binary");
  SetArgs("");
  EXPECT_EQ(Formed(dir + "/script"), "\"" + dir + "/script\"  ");
  EXPECT_EQ(Formed(dir + "/binary"), "\"" + dir + "/binary\"  ");

  // Overlong paths and command lines are not formed.
  char line[520];
  std::string longPath = "C:\\" + std::string(260, 'p') + ".exe", path = "C:\\T\\setup.exe";
  EXPECT_EQ(FormLaunchCommandLine(&longPath[0], line), 2);
  SetArgs(std::string(502, 'a'));  // one character too many
  EXPECT_EQ(FormLaunchCommandLine(&path[0], line), 2);
  EXPECT_STREQ(line, "");
  SetArgs(std::string(501, 'a'));  // exactly 519 characters
  EXPECT_EQ(FormLaunchCommandLine(&path[0], line), 0);
  EXPECT_EQ(strlen(line), 519u);
}

TEST_F(LaunchTest, DocumentsGoToTheAssociatedProgramOrAreShownAsUnassociated) {
  PlaceProgram(dir + "/xdg-open");
  chmod((dir + "/xdg-open").c_str(), 0755);
  setenv("PATH", dir.c_str(), 1);
  SetArgs("/p");
  EXPECT_EQ(Formed("C:\\TEMP\\Read Me.txt"), "\"" + dir + "/xdg-open\" C:\\TEMP\\Read Me.txt /p ");
  SetArgs("");
  EXPECT_EQ(Formed("\"C:\\TEMP\\a.doc\""), "\"" + dir + "/xdg-open\" C:\\TEMP\\a.doc  ");
  // A document path with blanks reaches the program split at the blanks.
  WriteText(dir + "/my notes.txt", "text");
  EXPECT_EQ(Launch(dir + "/my notes.txt"), 0);
  EXPECT_TRUE(Reported("argc", "3") && Reported("arg1", dir + "/my") && Reported("arg2", "notes.txt")) << Report();
  // Failed starts return 1; a document without a program is also shown.
  EXPECT_EQ(Launch(dir + "/missing.exe"), 1);
  unlink((dir + "/xdg-open").c_str());
  WriteText(dir + "/doc.xyz", "data");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Launch(dir + "/doc.xyz"), 1);
  std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(Contains(shown, " DOLM Self Extractor Error \nNo application is associated with the specified file."))
      << shown;
}

TEST_F(LaunchTest, StartedProgramsGetTheirArgumentsFolderAndAreWaitedFor) {
  const char* cases[][3] = {  // file, arguments, what the program receives after its name
      {"slow.exe", "sleep 1", "sleep 1"},
      {"SETUP.EXE", "-a \"b c\" d", "-a b c d"},
      {"dir.exe.d/tool", "", ""},
      {"with blanks/my setup.exe", "1 2", "1 2"},
  };
  for (auto& c : cases) {
    std::string file = dir + "/" + c[0];
    mkdir(file.substr(0, file.rfind('/')).c_str(), 0755);
    PlaceProgram(file);
    unlink(report.c_str());
    SetArgs(c[1]);
    EXPECT_EQ(Launch(file), 0) << c[0];
    EXPECT_TRUE(Reported("cmdline", file + (c[2][0] ? " " : "") + c[2]) && Reported("cwd", dir)) << Report();
    EXPECT_EQ(CurrentFolder(), dir);  // the stub stays in the folder
  }
  EXPECT_TRUE(PathExists(dir + "/marker"));  // written by the sleeping program just before it ends
}

TEST_F(LaunchTest, RelativeTemporaryFolderIsTakenFromTheStubsFolder) {
  // The run extracts into "out" beside the stub; the clean-up starts from
  // another current folder and still finds it through the command line.
  ASSERT_EQ(chdir(dir.c_str()), 0);
  SetRun("out", kRecreate | kDelete, "\"" + dir + "/pack\" -d out");
  Extract("d\\a.txt", 0x20);
  WriteText(dir + "/out/unrelated.txt", "x");
  ASSERT_EQ(chdir("/"), 0);
  RunAndCleanUp();
  EXPECT_EQ(std::string(gStartup.tempFolder), dir + "/out");
  EXPECT_FALSE(PathExists(dir + "/out/d"));
  EXPECT_TRUE(PathExists(dir + "/out/unrelated.txt"));
  EXPECT_EQ(CurrentFolder(), "/");
  char absolute[260];
  snprintf(absolute, sizeof absolute, "%s/out", dir.c_str());
  ClearExtractionFolder("\"/elsewhere/pack\" -d", absolute);
  EXPECT_EQ(std::string(absolute), dir + "/out");  // absolute folders stay as they are
}

TEST_F(LaunchTest, ExecuteFileIsStartedThenRemoved) {
  // Execute-text length 0: nothing is started, the extracted files still go.
  PlaceProgram(dir + "/setup.exe");
  snprintf(gContainer.execFile, sizeof gContainer.execFile, "setup.exe");
  SetRun(dir, kRecreate | kDelete, "\"" + dir + "/pack\" -d");
  Extract("a.txt", 0x20);
  RunAndCleanUp();
  EXPECT_FALSE(PathExists(report) || PathExists(dir + "/a.txt"));
  EXPECT_TRUE(PathExists(dir + "/setup.exe"));

  // Without folders the execute file is taken from the temporary folder itself.
  for (uint32_t recreate : {0u, kRecreate}) {
    mkdir((dir + "/tools").c_str(), 0755);
    for (const std::string file : {dir + "/setup.exe", dir + "/tools/setup.exe"}) {
      PlaceProgram(file);
      RecordWrittenPath(file.c_str());
    }
    unlink(report.c_str());
    snprintf(gContainer.execFile, sizeof gContainer.execFile, "tools/setup.exe");
    gContainer.options.execLength = 18;
    SetRun(dir + "/", recreate | kDelete, "\"" + dir + "/pack\"");
    SetArgs("/q");
    RunAndCleanUp();
    EXPECT_TRUE(Reported("arg0", dir + (recreate ? "/tools/setup.exe" : "/setup.exe")) && Reported("arg1", "/q"))
        << Report();
    EXPECT_FALSE(PathExists(dir + "/setup.exe") || PathExists(dir + "/tools/setup.exe"));
    EXPECT_TRUE(PathExists(dir + "/tools"));  // not created by this run
    ASSERT_EQ(chdir(savedFolder.c_str()), 0);
  }
}

// Every entry below root with its content ("/" for folders).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    entries[e.path().string().substr(root.size())] = e.is_directory() ? "/" : ReadText(e.path().string());
  return entries;
}

// The whole Linux stub: what it extracts goes (read-only and hidden files
// too), what was there before stays, untouched.
TEST_F(LaunchTest, StubRunWithDeleteLeavesExactlyWhatWasThereBefore) {
  if (ReadFileBytes(StubPath("dolmsfx-linux")).size() > kMaxArchiveStart)
    GTEST_SKIP() << "this build's stub is too large to carry an archive (sanitizers)";
  std::vector<packer::PackFile> files = {
      {"TemporaryPathForDOLM\\setup.exe", ReadFileBytes(EchoArgs()), 0, 0x20},
      {"docs\\a.txt", TextLikeBytes(3000, 0), 946684800, 0x20},
      {"docs\\ro.txt", TextLikeBytes(4000, 1), 946684800, 0x21},
      {"sub\\h.txt", TextLikeBytes(5000, 2), 946684800, 0x22},
      {"top.txt", TextLikeBytes(100, 3), 946684800, 0x27}};
  packer::StoredOptions options;
  options.optionWord = 0x15;  // overwrite, keep attributes, recreate folders; silent
  options.executeText = packer::MakeExecuteText("setup.exe", " /q");
  ASSERT_EQ(packer::AppendToStub(StubPath("dolmsfx-linux"), packer::BuildArchive(files, options, 0, 5), dir + "/pack"),
            "");

  std::string temp = dir + "/tmp";
  for (const char* d : {"", "/docs", "/empty", "/keep"}) mkdir((temp + d).c_str(), 0755);
  for (const char* f : {"/before.txt", "/docs/mine.txt", "/keep/x.txt", "/theirs-ro.txt", "/.dot"})
    WriteText(temp + f, std::string("theirs ") + f);
  chmod((temp + "/theirs-ro.txt").c_str(), 0444);
  auto before = Snapshot(temp);
  RunResult run = RunProgram({dir + "/pack", "-d", temp});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Reported("cmdline", temp + "/setup.exe /q") && Reported("cwd", temp)) << Report();
  EXPECT_EQ(Snapshot(temp), before);
}

}  // namespace
