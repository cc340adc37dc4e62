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

// The report of echoargs as key=value lines.
std::map<std::string, std::string> ReadReport(const std::string& path) {
  std::map<std::string, std::string> report;
  if (!Exists(path)) return report;
  auto bytes = ReadFileBytes(path);
  std::string text(bytes.begin(), bytes.end());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
  return report;
}

// Each test works in a fresh folder, restores the current folder and the
// environment, and starts with an empty record of written paths.
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
    unsetenv("DOLM_ECHO_FILE");
    unsetenv("DOLM_ECHO_MARKER");
  }
  // Places a copy of echoargs (without execute permission, as extracted).
  void PlaceProgram(const std::string& path) {
    WriteFileBytes(path, ReadFileBytes(EchoArgs()));
    chmod(path.c_str(), 0644);
  }
  void SetArgs(const char* args) { snprintf(gContainer.execArgs, sizeof gContainer.execArgs, "%s", args); }
  std::string Formed(const std::string& path) {
    char text[520];
    snprintf(text, sizeof text, "%s", path.c_str());
    char line[520];
    return FormLaunchCommandLine(text, line) == 0 ? std::string(line) : std::string("<none>");
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
  std::string longText = "\"" + std::string(400, 'x') + "\"";
  StripQuotes(&longText[0]);
  EXPECT_EQ(strlen(longText.c_str()), 400u);
}

TEST_F(LaunchTest, ProgramCommandLines) {
  struct Case {
    const char* path;
    const char* args;
    const char* expected;
  } cases[] = {
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
  for (const Case& c : cases) {
    SetArgs(c.args);
    EXPECT_EQ(Formed(c.path), c.expected) << c.path;
  }
  // Files without a program name that start like POSIX programs.
  WriteText(dir + "/script", "#!/bin/sh\n");
  PlaceProgram(dir + "/binary");
  WriteText(dir + "/text", "hello");
  SetArgs("");
  EXPECT_EQ(Formed(dir + "/script"), "\"" + dir + "/script\"  ");
  EXPECT_EQ(Formed(dir + "/binary"), "\"" + dir + "/binary\"  ");
  setenv("PATH", dir.c_str(), 1);  // no opener there
  EXPECT_EQ(Formed(dir + "/text"), "<none>");
}

TEST_F(LaunchTest, DocumentsGoToTheAssociatedProgram) {
  PlaceProgram(dir + "/xdg-open");
  chmod((dir + "/xdg-open").c_str(), 0755);
  setenv("PATH", dir.c_str(), 1);
  SetArgs("/p");
  EXPECT_EQ(Formed("C:\\TEMP\\Read Me.txt"), "\"" + dir + "/xdg-open\" C:\\TEMP\\Read Me.txt /p ");
  SetArgs("");
  EXPECT_EQ(Formed("\"C:\\TEMP\\a.doc\""), "\"" + dir + "/xdg-open\" C:\\TEMP\\a.doc  ");

  // A document path with blanks reaches the program split at the blanks.
  std::string doc = dir + "/my notes.txt";
  WriteText(doc, "text");
  char path[520];
  snprintf(path, sizeof path, "%s", doc.c_str());
  EXPECT_EQ(LaunchExecuteFile(path, 1, dir.c_str()), 0);
  auto got = ReadReport(report);
  EXPECT_EQ(got["argc"], "3");
  EXPECT_EQ(got["arg1"], dir + "/my");
  EXPECT_EQ(got["arg2"], "notes.txt");
}

TEST_F(LaunchTest, OverlongPathsAndCommandLinesAreNotStarted) {
  char line[520];
  std::string longPath = "C:\\" + std::string(260, 'p') + ".exe";
  EXPECT_EQ(FormLaunchCommandLine(&longPath[0], line), 2);
  std::string path = "C:\\T\\setup.exe";
  SetArgs(std::string(502, 'a').c_str());  // one character too many
  EXPECT_EQ(FormLaunchCommandLine(&path[0], line), 2);
  EXPECT_STREQ(line, "");
  SetArgs(std::string(519 - 17 - 1, 'a').c_str());  // exactly 519 characters
  EXPECT_EQ(FormLaunchCommandLine(&path[0], line), 0);
  EXPECT_EQ(strlen(line), 519u);
}

TEST_F(LaunchTest, StartedProgramsReceiveTheirArgumentsInTheGivenFolder) {
  struct Case {
    const char* file;
    const char* args;
    const char* expected;  // arguments after the program, joined by blanks
  } cases[] = {
      {"setup.exe", "/q", "/q"},
      {"setup.exe", "", ""},
      {"SETUP.EXE", "-a \"b c\" d", "-a b c d"},
      {"dir.exe.d/tool", "x", "x"},
      {"with blanks/my setup.exe", "1 2", "1 2"},
  };
  for (const Case& c : cases) {
    std::string file = dir + "/" + c.file;
    mkdir(file.substr(0, file.rfind('/')).c_str(), 0755);
    PlaceProgram(file);
    unlink(report.c_str());
    SetArgs(c.args);
    char path[520];
    snprintf(path, sizeof path, "%s", file.c_str());
    EXPECT_EQ(LaunchExecuteFile(path, 1, dir.c_str()), 0) << c.file;
    auto got = ReadReport(report);
    EXPECT_EQ(got["cmdline"], file + (c.expected[0] ? " " : "") + c.expected) << c.file;
    EXPECT_EQ(got["arg0"], file);
    EXPECT_EQ(got["cwd"], dir);
    EXPECT_EQ(CurrentFolder(), dir);  // the stub stays in the folder
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
  }
}

TEST_F(LaunchTest, LaunchWaitsForTheProgramToEnd) {
  PlaceProgram(dir + "/slow.exe");
  SetArgs("sleep 1");
  char path[520];
  snprintf(path, sizeof path, "%s/slow.exe", dir.c_str());
  EXPECT_EQ(LaunchExecuteFile(path, 1, dir.c_str()), 0);
  EXPECT_TRUE(Exists(dir + "/marker"));
}

TEST_F(LaunchTest, FailedStartsReturn1AndMissingAssociationsAreShown) {
  char path[520];
  snprintf(path, sizeof path, "%s/missing.exe", dir.c_str());
  EXPECT_EQ(LaunchExecuteFile(path, 1, dir.c_str()), 1);
  setenv("PATH", dir.c_str(), 1);
  WriteText(dir + "/doc.xyz", "data");
  snprintf(path, sizeof path, "%s/doc.xyz", dir.c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(LaunchExecuteFile(path, 1, dir.c_str()), 1);
  std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_NE(shown.find(" DOLM Self Extractor Error \nNo application is associated with the specified file."),
            std::string::npos)
      << shown;
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
    ASSERT_NE(gExpand.outputFile, nullptr);
    fputs("content", gExpand.outputFile);
    FinishFile(gExpand.outputFile, gFiles.count++, 1);
  }
  void SetCommandLine(const std::string& text) {
    snprintf(gStartup.commandLine, sizeof gStartup.commandLine, "%s", text.c_str());
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

  snprintf(gStartup.tempFolder, sizeof gStartup.tempFolder, "%s/", temp.c_str());
  gContainer.options.optionWord = kRecreate | kKeep | kDelete;
  Extract("sub\\deep\\ro.txt", 0x21);
  Extract("sub\\hidden.txt", 0x23);
  Extract("Files\\a.txt", 0x20);
  Extract("top.txt", 0x27);
  SetCommandLine("\"" + dir + "/pack\" -d");
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
  snprintf(gStartup.tempFolder, sizeof gStartup.tempFolder, "out");
  gContainer.options.optionWord = kRecreate | kDelete;
  Extract("d\\a.txt", 0x20);
  WriteText(dir + "/out/unrelated.txt", "x");
  ASSERT_EQ(chdir("/"), 0);
  SetCommandLine("\"" + dir + "/pack\" -d out");
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
  struct Case {
    uint32_t recreate;
    const char* expectedProgram;
  } cases[] = {{0, "/setup.exe"}, {kRecreate, "/tools/setup.exe"}};
  for (const Case& c : cases) {
    mkdir((dir + "/tools").c_str(), 0755);
    PlaceProgram(dir + "/setup.exe");
    PlaceProgram(dir + "/tools/setup.exe");
    RecordWrittenPath((dir + "/setup.exe").c_str());
    RecordWrittenPath((dir + "/tools/setup.exe").c_str());
    unlink(report.c_str());
    snprintf(gStartup.tempFolder, sizeof gStartup.tempFolder, "%s/", dir.c_str());
    snprintf(gContainer.execFile, sizeof gContainer.execFile, "tools/setup.exe");
    gContainer.options.execLength = 18;
    gContainer.options.optionWord = c.recreate | kDelete;
    SetArgs("/q");
    SetCommandLine("\"" + dir + "/pack\"");
    RunAndCleanUp();
    auto got = ReadReport(report);
    EXPECT_EQ(got["arg0"], dir + c.expectedProgram);
    EXPECT_EQ(got["arg1"], "/q");
    EXPECT_FALSE(Exists(dir + "/setup.exe"));
    EXPECT_FALSE(Exists(dir + "/tools/setup.exe"));
    EXPECT_TRUE(Exists(dir + "/tools"));  // not created by this run
    ASSERT_EQ(chdir(savedFolder.c_str()), 0);
  }
}

TEST_F(CleanUpTest, WithoutExecuteTextNothingIsStartedButFilesAreRemoved) {
  PlaceProgram(dir + "/setup.exe");
  snprintf(gStartup.tempFolder, sizeof gStartup.tempFolder, "%s", dir.c_str());
  gContainer.options.optionWord = kRecreate | kDelete;
  snprintf(gContainer.execFile, sizeof gContainer.execFile, "setup.exe");
  Extract("a.txt", 0x20);
  SetCommandLine("\"" + dir + "/pack\" -d");
  RunAndCleanUp();
  EXPECT_FALSE(Exists(report));
  EXPECT_FALSE(Exists(dir + "/a.txt"));
  EXPECT_TRUE(Exists(dir + "/setup.exe"));
}

TEST_F(CleanUpTest, ChangeFolderReportsFailures) {
  EXPECT_EQ(ChangeFolder(dir.c_str()), 0);
  EXPECT_EQ(CurrentFolder(), dir);
  EXPECT_EQ(ChangeFolder((dir + "/no-such-folder").c_str()), -1);
  EXPECT_EQ(CurrentFolder(), dir);
}

// ---- the whole Linux stub ----------------------------------------------------------

// Every entry below root with its content ("<folder>" for folders).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = e.path().string().substr(root.size());
    if (e.is_directory()) {
      entries[rel] = "<folder>";
    } else {
      auto bytes = ReadFileBytes(e.path().string());
      entries[rel] = std::string(bytes.begin(), bytes.end());
    }
  }
  return entries;
}

TEST_F(LaunchTest, StubRunWithDeleteLeavesExactlyWhatWasThereBefore) {
  if (ReadFileBytes(StubPath("dolmsfx-linux")).size() > kMaxArchiveStart)
    GTEST_SKIP() << "this build's stub is too large to carry an archive (sanitizers)";
  std::vector<packer::PackFile> files(4);
  files[0].name = "TemporaryPathForDOLM\\setup.exe";
  files[0].data = ReadFileBytes(EchoArgs());
  const char* names[] = {"docs\\a.txt", "docs\\ro.txt", "sub\\h.txt"};
  const uint8_t attributes[] = {0x20, 0x21, 0x22};
  for (int i = 0; i < 3; ++i) {
    files[i + 1].name = names[i];
    files[i + 1].data = TextLikeBytes(3000 + 1000 * i, i);
    files[i + 1].time = 946684800;
    files[i + 1].attributes = attributes[i];
  }
  packer::StoredOptions options;
  options.optionWord = 0x15;  // overwrite, keep attributes, recreate folders; silent
  options.executeText = packer::MakeExecuteText("setup.exe", " /q");
  std::string stub = dir + "/pack";
  ASSERT_EQ(packer::AppendToStub(StubPath("dolmsfx-linux"), packer::BuildArchive(files, options, 0, 5), stub), "");
  chmod(stub.c_str(), 0755);

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

  // Without -d the files stay, with their stored attributes and times.
  run = RunProgram({stub, temp});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  struct stat st;
  ASSERT_EQ(stat((temp + "/docs/ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(st.st_mtime, 946684800);
  EXPECT_EQ(ReadFileBytes(temp + "/sub/h.txt"), files[3].data);
  EXPECT_EQ(Snapshot(temp).size(), before.size() + 5);  // setup.exe, ro.txt, a.txt, sub, h.txt
}

}  // namespace
