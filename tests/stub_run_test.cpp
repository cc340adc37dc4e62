// End to end: archives built by the packer, appended to the Linux stub and
// run: the files with their times and attributes, the overwrite question, the
// error boxes ("<caption>\n<text>\n\n" on standard error), failed writes,
// launching the execute file and the clean-up that removes this run's files
// and nothing else. The started program is build/tests/echoargs, which
// reports what it received.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "format/format.h"
#include "launch/launch.h"
#include "packer/packer.h"
#include "startup/startup.h"
#include "support/test_support.h"

namespace {

using packer::PackFile;
const std::string kBox = " DOLM Self Extractor Error \n";
const uint32_t kOverwrite = 1u << kOverWriteExistingFiles;

// A Linux self-extractor of `files` with the option word, in a fresh folder.
std::string Sfx(const std::vector<PackFile>& files, uint32_t word, const std::string& exec = "",
                const std::string& args = "", int profile = 0) {
  const packer::Bytes options = packer::WriteOptionBlock(word, "", packer::MakeExecuteText(exec, args));
  const std::string path = MakeTempDir("e2e-stub") + "/setup";
  EXPECT_TRUE(WriteProgram(path, LinuxStubWith(files, options, profile)));
  return path;
}

// Flat with the stored word "overwrite" only, then twice with the switches k
// and r into the same folder (the last run replaces read-only files). The
// smallest and the largest window: big.dat passes the small one several times.
TEST(ExtractEndToEnd, ProfilesFoldersTimesAndAttributes) {
  const std::string dir = "Files\\TemporaryPathForDOLM\\";
  const std::vector<PackFile> files = {
      {dir + "setup.ini", TextLikeBytes(1000, 1), 946684800, 0x20},
      {dir + "docs\\empty.txt", {}, 1000000000, 0x21},
      {dir + "big.dat", TextLikeBytes(300000, 3), 1200000000, 0xA1},  // bit 7 is dropped, read-only stays
      {dir + "tail.txt", TextLikeBytes(10, 4), 1300000000, 0x80},     // 0x80 alone: normal
  };
  for (int profile : {0, 8}) {
    const std::string sfx = Sfx(files, kOverwrite, "", "", profile), out = MakeTempDir("e2e-out");
    for (bool keep : {false, true, true}) {
      RunResult r = keep ? RunProgram({sfx, "-s", "-k", "-r", out}) : RunProgram({sfx, "-s", out});
      ASSERT_EQ(std::tuple(r.exitCode, r.err), std::tuple(0, ""));
      for (const PackFile& f : files) {
        // Below the marker with folders, else the bare name.
        std::string path = out + "/" + f.name.substr(keep ? dir.size() : f.name.rfind('\\') + 1);
        std::replace(path.begin(), path.end(), '\\', '/');
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(ReadFileBytes(path), f.data) << "profile " << profile << " " << path;
        EXPECT_EQ(std::tuple(st.st_mtime == static_cast<time_t>(f.time), (st.st_mode & S_IWUSR) == 0),
                  std::tuple(keep, keep && (f.attributes & 1) != 0))
            << "time kept, read-only: profile " << profile << " " << path;
      }
    }
  }
}

// Existing files are asked about, with the target shortened to 70
// characters: unknown or over-long answers are asked again, "a" ends the
// questions, the end of input answers No, Cancel ends the run with exit code 1.
TEST(ExtractEndToEnd, OverwriteQuestionAnswers) {
  std::vector<PackFile> files;
  for (const char* name : {"a.txt", "b.txt", "fresh.txt", "c.txt", "d.txt"}) files.push_back({name, Text("new")});
  const std::string sfx = Sfx(files, 0), out = MakeTempDir("e2e-ask") + "/" + std::string(80, 'f');
  mkdir(out.c_str(), 0755);
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) WriteText(out + "/" + name, "old");
  chmod((out + "/c.txt").c_str(), 0444);
  struct Run { std::string answers; int exitCode, questions; const char* after; } runs[] = {
      {"c\n", 1, 1, "old old - old old "},
      {"maybe\nN\r\nc" + std::string(400, ' ') + "\n y \n  a \n", 0, 5, "old new new new new "},
      {"", 0, 5, "old new new new new "},
  };
  for (const Run& run : runs) {
    RunResult r = RunProgram({sfx, "-s", out}, run.answers);
    size_t questions = 0;
    for (size_t at = 0; (at = r.err.find("Overwrite file\n", at)) != std::string::npos; ++at) ++questions;
    EXPECT_TRUE(Exited(r, run.exitCode));
    EXPECT_EQ(questions, static_cast<size_t>(run.questions)) << r.err;
    const std::string target = out + "/a.txt";  // paths in messages with slashes
    EXPECT_TRUE(Contains(r.err, "Overwrite file\n.." + target.substr(target.size() - 68) + "\n")) << r.err;
    std::string after;
    for (const PackFile& f : files) after += PathExists(out + "/" + f.name) ? ReadText(out + "/" + f.name) + " " : "- ";
    EXPECT_EQ(after, run.after) << run.answers;
  }
}

// Error boxes end the run with exit code 0 unless -i lets it go on. A failed
// write shows error 3 and the execute file is not started on broken files.
TEST(ExtractEndToEnd, ErrorBoxes) {
  const std::string bare = MakeTempDir("e2e-bare") + "/bare", temp = MakeTempDir("e2e-errors");
  ASSERT_TRUE(WriteProgram(bare, ReadFileBytes(StubPath("dolmsfx-linux"))));
  const std::string blocked = temp + "/" + std::string(70, 'b');
  WriteText(blocked, "a file where a folder is needed");
  const std::vector<PackFile> files = {{"go.sh", Text("#!/bin/sh\n: > started\n"), 0, 0x20},
                                       {std::string(70, 'b') + "\\x.txt", Text("x"), 0, 0x20},
                                       {"big.bin", TextLikeBytes(3 << 20, 5), 0, 0x20},
                                       {"after.txt", Text("after"), 0, 0x20}};
  const std::string sfx = Sfx(files, kOverwrite | 1u << kRecreateOriginalFolders, "go.sh");
  const std::string x = blocked + "/x.txt", limited = temp + "/limited";
  mkdir(limited.c_str(), 0755);
  // The Linux stub's status: 4 after an error box, else 0.
  struct Case { std::vector<std::string> args; long fileLimit; std::string err; int exitCode; } cases[] = {
      {{bare, temp}, 0, kBox + "Error #22\nCannot find options located in the second entry, unexpected error.\n"
                               "Unable to locate Tarvex Options.\n\n", 4},
      {{sfx, "-a", "D:\\x"}, 0,
       "About Ostrel Self-Extractor File\nOverWriteExistingFiles = 1\nKeepOriginalFileAttrib  = 0\n"
       "PromptUserForOptions = 0\nRecreateOriginalFolders = 1\nDeleteSFXwhenDone = 0\nSilentExtraction = 1\n"
       "Temporary Directory  = D:/x\nExecute file = go.sh\n\n", 0},
      {{sfx, temp}, 0, kBox + "Error #0\nThe file '.." + x.substr(x.size() - 58) + "'  could not be opened !\n"
                              " File does not exists, could not be created, or too many open files\n\n", 4},
      {{sfx, "-i", limited}, 1 << 20, "", 0},
      {{sfx, "-o", limited}, 1 << 20, kBox + "Error #3\nInconsistent data crc, data write failed !\n\n" + limited +
                                          "/big.bin: cannot be written: File too large\n", 4},
  };
  for (const Case& c : cases) {
    const std::string folder = c.args.back();
    for (const char* name : {"/started", "/after.txt"}) RemoveTree(folder + name);
    RunOptions options;
    options.fileLimitBytes = c.fileLimit;
    RunResult r = RunProgram(c.args, options);
    EXPECT_EQ(std::tuple(r.exitCode, r.err), std::tuple(c.exitCode, c.err));
    const bool goesOn = c.args[1] == "-i";  // after the failure, and starts the execute file
    for (const char* made : {"/started", "/after.txt"}) EXPECT_EQ(PathExists(folder + made), goesOn) << made << r.err;
  }
}

// Cancel from the progress hook in the middle of a file, with and without
// -i, under temporary names: the extraction stops there, the file keeps its
// old version and no temporary file stays. (The record's behaviour is set in
// the stored options, as the loader fills it.)
TEST(CheckFirst, CancelInTheMiddleOfAFileKeepsItsOldVersion) {
  const std::vector<PackFile> files = {{"a.txt", Text("new"), 0, 0x20},
                                       {"big.txt", TextLikeBytes(300000, 7), 0, 0x20},
                                       {"c.txt", Text("new"), 0, 0x20}};
  const std::vector<uint8_t> whole = LinuxStubWith(files, packer::WriteOptionBlock(kOverwrite, "", ""), 0);
  for (const char* switches : {"", "i"}) {
    const std::string out = MakeTempDir("check-first"), sfx = out + "/setup";
    WriteFileBytes(sfx, whole);
    for (const PackFile& f : files) WriteText(out + "/" + f.name, "old");
    auto run = std::make_unique<StubRun>();
    RunRequest request = {};
    request.ownPath = sfx.c_str();
    std::strcpy(request.switches, switches);
    request.folder = out.c_str();
    RunOutcome outcome;
    ASSERT_TRUE(StartRun(run.get(), request, &outcome));
    run->options.extension.present = true;
    run->options.extension.behaviour = kBehaveCheckFirst;
    StartDiskOutput(&run->output, run->tempFolder, run->options.record.optionWord, AskOverwrite, run.get(), &run->faults);
    run->output.temporaryNames = true;
    static int writes;
    writes = 0;  // the second write is big.txt's first
    run->output.progress = {[](void*, const FileRecord*, uint32_t n) { return n == 0 || ++writes != 2; }, nullptr};
    EXPECT_EQ(ExtractArchive(run.get(), DiskSink(&run->output)).error, kStopCancelled) << switches;
    std::string after;
    for (const PackFile& f : files) after += ReadText(out + "/" + f.name) + " ";
    EXPECT_EQ(std::tuple(after, FolderEntries(out).size()), std::tuple("new old old ", files.size() + 1)) << switches;
    ForgetWrittenPaths(&run->output.written);
    ReleaseDecoderMemory(&run->engine);
    ReleaseFileTable(&run->files);
  }
}

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
  const std::string notFormed = "<" + std::to_string(kCannotStart) + ">";
  const std::string cases[][3] = {  // path, arguments, command line ("<N>": result N)
      {"C:\\T\\go.BAT", "a", "\"C:\\T\\go.BAT\" a "}, {"C:\\T\\Run.Com", "", "\"C:\\T\\Run.Com\"  "},
      {"C:\\T\\SETUP.EXE", " -x", "\"C:\\T\\SETUP.EXE\"  -x "}, {"\"C:\\T\\a.doc\"", "/p", open + "C:\\T\\a.doc /p "},
      {"C:\\TEMP\\notes.exe.txt", "", "\"C:\\TEMP\\notes.exe.txt\"  "}, {"\"C:\\T\\q.exe\"", "", "\"C:\\T\\q.exe\"  "},
      {"C:\\my.execs\\a.txt", "", "\"C:\\my.execs\\a.txt\"  "}, {"/opt/x/install.sh", "", "\"/opt/x/install.sh\"  "},
      {dir + "/script", "", "\"" + dir + "/script\"  "}, {dir + "/binary", "", "\"" + dir + "/binary\"  "},  // #!, ELF
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
// waited for; what the run extracted goes (read-only and hidden files too),
// what was there before stays, untouched.
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
  // overwrite, keep attributes, recreate folders; silent
  const std::string sfx = Sfx(files, kOverwriteKeepRecreate, "my dir.exe.d\\my setup.exe", "sleep 1 /q"),
                    stubFolder = sfx.substr(0, sfx.rfind('/')), temp = stubFolder + "/tmp";
  for (const char* d : {"", "/docs", "/empty", "/keep"}) mkdir((temp + d).c_str(), 0755);
  for (const char* f : {"/before.txt", "/docs/mine.txt", "/keep/x.txt", "/theirs-ro.txt", "/.dot"})
    WriteText(temp + f, std::string("theirs ") + f);
  chmod((temp + "/theirs-ro.txt").c_str(), 0444);
  auto before = Snapshot(temp);
  RunResult run = RunProgram({sfx, "-d", "tmp"}, "", stubFolder);
  EXPECT_EQ(std::tuple(run.exitCode, run.err), std::tuple(0, ""));
  EXPECT_TRUE(Reported("cmdline", temp + "/my dir.exe.d/my setup.exe sleep 1 /q")) << Report();
  EXPECT_TRUE(Reported("cwd", temp)) << Report();
  EXPECT_TRUE(PathExists(dir + "/marker"));  // written by the sleeping program just before it ends
  EXPECT_EQ(Snapshot(temp), before);

  // Extracted flat, the execute file is taken by its name from the folder
  // itself; a document goes to the opener as one path.
  PlaceProgram(dir + "/xdg-open", 0755);
  setenv("PATH", dir.c_str(), 1);
  const std::string flat = Sfx(files, kOverwrite, "bin\\my notes.txt");
  run = RunProgram({flat, dir + "/flat-out"});
  EXPECT_TRUE(Reported("argc", "2")) << Report() << run.err;
  EXPECT_TRUE(Reported("arg1", dir + "/flat-out/my notes.txt")) << Report();
  // A document that no program opens is shown in a box.
  unlink((dir + "/xdg-open").c_str());
  run = RunProgram({flat, dir + "/doc-out"});
  EXPECT_EQ(run.err, kBox + "No application is associated with the specified file.\n\n");
  EXPECT_EQ(run.exitCode, 126);  // the Linux stub's status for a file it could not start
}

}  // namespace
