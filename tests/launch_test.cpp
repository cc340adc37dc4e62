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
#include <sstream>
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
const uint32_t kKeep = 1u << kKeepOriginalFileAttrib;
const uint32_t kDelete = 1u << kDeleteSFXwhenDone;

std::string EchoArgs() { return BuildDir() + "/tests/echoargs"; }

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void WriteText(const std::string& path, const std::string& text) {
  WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string CurrentFolder() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? buf : "";
}

// The report of echoargs as key=value lines (empty when it did not run).
std::map<std::string, std::string> ReadReport(const std::string& path) {
  std::map<std::string, std::string> report;
  if (!Exists(path)) return report;
  auto bytes = ReadFileBytes(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return report;
}

// Each test works in a fresh folder, restores the current folder and PATH,
// and starts with an empty record of written paths.
class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFolder = CurrentFolder();
    const char* path = getenv("PATH");
    savedPath = path ? path : "";
    dir = MakeTempDir("launch");
    report = dir + "/report.txt";
    setenv("DOLM_ECHO_FILE", report.c_str(), 1);
    setenv("DOLM_ECHO_MARKER", (dir + "/marker").c_str(), 1);
    memset(&gStartup, 0, sizeof gStartup);
    gContainer.options = OptionsRecord{};
    memset(gContainer.execFile, 0, sizeof gContainer.execFile);
    memset(gContainer.execArgs, 0, sizeof gContainer.execArgs);
    gExpand.outputFile = nullptr;
    gOverwriteAll = 0;
    ForgetWrittenPaths();
  }
  void TearDown() override {
    ASSERT_EQ(chdir(savedFolder.c_str()), 0);
    setenv("PATH", savedPath.c_str(), 1);
  }
  // Places a copy of echoargs (without execute permission, as extracted).
  void PlaceProgram(const std::string& path) {
    WriteFileBytes(path, ReadFileBytes(EchoArgs()));
    chmod(path.c_str(), 0644);
  }
  void SetArgs(const char* args) { snprintf(gContainer.execArgs, sizeof gContainer.execArgs, "%s", args); }
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

  std::string savedFolder, savedPath, dir, report;
};

TEST_F(LaunchTest, StripQuotesDropsTheFirstAndLastCharacterOfQuotedTexts) {
  const char* cases[][2] = {{"\"C:\\a b\\x.exe\"", "C:\\a b\\x.exe"}, {"plain", "plain"},
                            {"\"open", "ope"}, {"\"", ""}, {"", ""}, {"in\"side\"", "in\"side\""}};
  for (auto& c : cases) {
    char text[64];
    snprintf(text, sizeof text, "%s", c[0]);
    StripQuotes(text);
    EXPECT_STREQ(text, c[1]) << c[0];
  }
}

TEST_F(LaunchTest, ProgramCommandLines) {
  const char* cases[][3] = {
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
  auto got = ReadReport(report);
  EXPECT_EQ(got["argc"], "3");
  EXPECT_EQ(got["arg1"], dir + "/my");
  EXPECT_EQ(got["arg2"], "notes.txt");
  // Failed starts return 1; a document without a program is also shown.
  EXPECT_EQ(Launch(dir + "/missing.exe"), 1);
  unlink((dir + "/xdg-open").c_str());
  WriteText(dir + "/doc.xyz", "data");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Launch(dir + "/doc.xyz"), 1);
  std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_NE(shown.find(" DOLM Self Extractor Error \nNo application is associated with the specified file."),
            std::string::npos)
      << shown;
}

TEST_F(LaunchTest, OverlongPathsAndCommandLinesAreNotStarted) {
  char line[520];
  std::string longPath = "C:\\" + std::string(260, 'p') + ".exe";
  EXPECT_EQ(FormLaunchCommandLine(&longPath[0], line), 2);
  std::string path = "C:\\T\\setup.exe";
  SetArgs(std::string(502, 'a').c_str());  // one character too many
  EXPECT_EQ(FormLaunchCommandLine(&path[0], line), 2);
  EXPECT_STREQ(line, "");
  SetArgs(std::string(501, 'a').c_str());  // exactly 519 characters
  EXPECT_EQ(FormLaunchCommandLine(&path[0], line), 0);
  EXPECT_EQ(strlen(line), 519u);
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
    auto got = ReadReport(report);
    EXPECT_EQ(got["cmdline"], file + (c[2][0] ? " " : "") + c[2]) << c[0];
    EXPECT_EQ(got["cwd"], dir);
    EXPECT_EQ(CurrentFolder(), dir);  // the stub stays in the folder
  }
  EXPECT_TRUE(Exists(dir + "/marker"));  // written by the sleeping program just before it ends
}

// ---- clean-up ------------------------------------------------------------------

class CleanUpTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    savedFiles = gFiles;
    gFiles.records = records;
    gFiles.capacity = 4;
    gFiles.count = 0;
  }
  void TearDown() override {
    gFiles = savedFiles;
    LaunchTest::TearDown();
  }
  // Extracts a file as the expansion does, with stored attributes.
  void Extract(const char* name, uint8_t attributes) {
    FileRecord& r = records[gFiles.count];
    r = FileRecord{};
    snprintf(r.name, sizeof r.name, "%s", name);
    r.time = 946684800;
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
  FileRecord records[4];
  FileTable savedFiles;
};

TEST_F(CleanUpTest, OnlyThisRunsFilesAndFoldersAreRemoved) {
  std::string temp = dir + "/tmp";
  mkdir(temp.c_str(), 0755);
  for (const char* d : {"/keep", "/Files", "/empty"}) mkdir((temp + d).c_str(), 0755);
  for (const char* f : {"/other.txt", "/keep/x.txt", "/.hidden"}) WriteText(temp + f, "theirs");
  chmod((temp + "/other.txt").c_str(), 0444);
  SetRun(temp + "/", kRecreate | kKeep | kDelete, "\"" + dir + "/pack\" -d");
  Extract("sub\\deep\\ro.txt", 0x21);
  Extract("sub\\hidden.txt", 0x23);
  Extract("Files\\a.txt", 0x20);
  Extract("top.txt", 0x27);
  std::string before = CurrentFolder();

  RunAndCleanUp();

  for (const char* gone : {"/sub", "/Files/a.txt", "/top.txt"}) EXPECT_FALSE(Exists(temp + gone)) << gone;
  for (const char* kept : {"", "/keep/x.txt", "/other.txt", "/.hidden", "/Files", "/empty"})
    EXPECT_TRUE(Exists(temp + kept)) << kept;
  EXPECT_EQ(CurrentFolder(), before);
}

TEST_F(CleanUpTest, RelativeTemporaryFolderIsTakenFromTheStubsFolder) {
  // The run extracts into "out" beside the stub; the clean-up starts from
  // another current folder and still finds it through the command line.
  ASSERT_EQ(chdir(dir.c_str()), 0);
  SetRun("out", kRecreate | kDelete, "\"" + dir + "/pack\" -d out");
  Extract("d\\a.txt", 0x20);
  WriteText(dir + "/out/unrelated.txt", "x");
  ASSERT_EQ(chdir("/"), 0);
  RunAndCleanUp();
  EXPECT_EQ(std::string(gStartup.tempFolder), dir + "/out");
  EXPECT_FALSE(Exists(dir + "/out/d"));
  EXPECT_TRUE(Exists(dir + "/out/unrelated.txt"));
  EXPECT_EQ(CurrentFolder(), "/");
  char absolute[260];
  snprintf(absolute, sizeof absolute, "%s/out", dir.c_str());
  ClearExtractionFolder("\"/elsewhere/pack\" -d", absolute);
  EXPECT_EQ(std::string(absolute), dir + "/out");  // absolute folders stay as they are
}

TEST_F(CleanUpTest, ExecuteFileIsStartedThenRemoved) {
  // Execute-text length 0: nothing is started, the extracted files still go.
  PlaceProgram(dir + "/setup.exe");
  snprintf(gContainer.execFile, sizeof gContainer.execFile, "setup.exe");
  SetRun(dir, kRecreate | kDelete, "\"" + dir + "/pack\" -d");
  Extract("a.txt", 0x20);
  RunAndCleanUp();
  EXPECT_FALSE(Exists(report));
  EXPECT_FALSE(Exists(dir + "/a.txt"));
  EXPECT_TRUE(Exists(dir + "/setup.exe"));

  // Without folders the execute file is taken from the temporary folder itself.
  for (uint32_t recreate : {0u, kRecreate}) {
    mkdir((dir + "/tools").c_str(), 0755);
    PlaceProgram(dir + "/setup.exe");
    PlaceProgram(dir + "/tools/setup.exe");
    RecordWrittenPath((dir + "/setup.exe").c_str());
    RecordWrittenPath((dir + "/tools/setup.exe").c_str());
    unlink(report.c_str());
    snprintf(gContainer.execFile, sizeof gContainer.execFile, "tools/setup.exe");
    gContainer.options.execLength = 18;
    SetRun(dir + "/", recreate | kDelete, "\"" + dir + "/pack\"");
    SetArgs("/q");
    RunAndCleanUp();
    auto got = ReadReport(report);
    EXPECT_EQ(got["arg0"], dir + (recreate ? "/tools/setup.exe" : "/setup.exe"));
    EXPECT_EQ(got["arg1"], "/q");
    EXPECT_FALSE(Exists(dir + "/setup.exe"));
    EXPECT_FALSE(Exists(dir + "/tools/setup.exe"));
    EXPECT_TRUE(Exists(dir + "/tools"));  // not created by this run
    ASSERT_EQ(chdir(savedFolder.c_str()), 0);
  }
}

// ---- the whole Linux stub ----------------------------------------------------------

// Every entry below root with its content ("<folder>" for folders).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    auto bytes = e.is_directory() ? std::vector<uint8_t>{'/'} : ReadFileBytes(e.path().string());
    entries[e.path().string().substr(root.size())] = std::string(bytes.begin(), bytes.end());
  }
  return entries;
}

TEST_F(LaunchTest, StubRunWithDeleteLeavesExactlyWhatWasThereBefore) {
  if (ReadFileBytes(StubPath("dolmsfx-linux")).size() > kMaxArchiveStart)
    GTEST_SKIP() << "this build's stub is too large to carry an archive (sanitizers)";
  std::vector<packer::PackFile> files = {
      {"TemporaryPathForDOLM\\setup.exe", ReadFileBytes(EchoArgs()), 0, 0x20},
      {"docs\\a.txt", TextLikeBytes(3000, 0), 946684800, 0x20},
      {"docs\\ro.txt", TextLikeBytes(4000, 1), 946684800, 0x21},
      {"sub\\h.txt", TextLikeBytes(5000, 2), 946684800, 0x22}};
  packer::StoredOptions options;
  options.optionWord = 0x15;  // overwrite, keep attributes, recreate folders; silent
  options.executeText = packer::MakeExecuteText("setup.exe", " /q");
  std::string stub = dir + "/pack";
  const packer::Bytes archive = packer::BuildArchive(files, options, 0, 5);
  ASSERT_EQ(packer::AppendToStub(StubPath("dolmsfx-linux"), archive, stub), "");

  std::string temp = dir + "/tmp";
  for (const char* d : {"", "/docs", "/empty", "/keep"}) mkdir((temp + d).c_str(), 0755);
  for (const char* f : {"/before.txt", "/docs/mine.txt", "/keep/x.txt", "/theirs-ro.txt", "/.dot"})
    WriteText(temp + f, std::string("theirs ") + f);
  chmod((temp + "/theirs-ro.txt").c_str(), 0444);
  auto before = Snapshot(temp);

  RunResult run = RunProgram({stub, "-d", temp});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  auto got = ReadReport(report);
  EXPECT_EQ(got["cmdline"], temp + "/setup.exe /q");
  EXPECT_EQ(got["cwd"], temp);
  EXPECT_EQ(Snapshot(temp), before);
}

}  // namespace
