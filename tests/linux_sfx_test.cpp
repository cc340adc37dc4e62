// The Linux self-extractor as Linux users script it: exit status, getopt-style
// switches, --help/--list/--check, noexec folders, execute permission, Ctrl-C,
// and the run's edge cases (a relative folder, an archive that ends after its
// header, a full-length temporary path).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


#include "format/format.h"
#include "startup/startup.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;
using packer::PackFile;

const uint32_t kDeleteWhenDone = kOverwriteKeepRecreate | OptionWord({kDeleteSFXwhenDone});

// A self-extractor in a fresh folder; returns its path.
std::string MakeSfx(const std::string& dir, const std::vector<PackFile>& files, const std::string& exec,
                    uint32_t word = OptionWord({kKeepOriginalFileAttrib, kRecreateOriginalFolders})) {
  const Bytes front = packer::WriteOptionBlock(word, "", packer::MakeExecuteText(exec, ""));
  EXPECT_TRUE(WriteProgram(dir + "/sfx", LinuxStubWith(files, front, 1)));
  return dir + "/sfx";
}

bool Executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) == 0111;
}

TEST(LinuxSfx, ExitStatusTellsWhatHappened) {
  struct Case {
    const char* label;
    const char* script;  // the stored setup.sh; null: not stored
    const char* args;    // one word
    const char* input;
    int status;
  } cases[] = {
      {"program exit 0", "#!/bin/sh\nexit 0\n", "-s", "", 0},
      {"program exit 7", "#!/bin/sh\nexit 7\n", "-s", "", 7},
      {"program killed by a signal", "#!/bin/sh\nkill -TERM $$\n", "-s", "", 128 + SIGTERM},
      {"not extracted", nullptr, "-s", "", 127},
      {"Cancel at the overwrite question", "#!/bin/sh\nexit 0\n", "-p", "c\n", 1},
  };
  for (const Case& c : cases) {
    const std::string dir = MakeTempDir("status");
    std::vector<PackFile> files = {{"a.txt", Text("a"), 0, 0x20}};
    if (c.script) files.push_back({"setup.sh", Text(c.script), 0, 0x20});
    const std::string sfx = MakeSfx(dir, files, "setup.sh");
    WriteText(dir + "/a.txt", "there before");
    RunResult r = RunProgram({sfx, c.args, dir}, c.input);
    EXPECT_EQ(r.exitCode, c.status) << c.label << ": " << r.err;
  }
}

TEST(LinuxSfx, CommandLineTheLinuxWay) {
  const std::string dir = MakeTempDir("switches");
  const std::string sfx = MakeSfx(dir, {{"a.txt", Text("new"), 0, 0x20}}, "", kOverwriteKeepRecreate | OptionWord({kPromptUserForOptions}));
  WriteText(dir + "/a.txt", "old");
  RunResult r = RunProgram({sfx, "-os", dir}, "");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadText(dir + "/a.txt"), "new") << "-os: overwrite, silently";
  EXPECT_FALSE(Contains(r.err, "Overwrite file"));
  for (std::vector<std::string> args : {std::vector<std::string>{"-xyz"}, {"one", "two"}, {"--bogus"}}) {
    args.insert(args.begin(), sfx);
    RunResult bad = RunProgram(args, "", dir);
    EXPECT_EQ(bad.exitCode, 2) << args[1];
    EXPECT_FALSE(bad.err.empty());
    for (const char* made : {"/one", "/yz", "/help"}) EXPECT_FALSE(PathExists(dir + made)) << args[1];
  }
  RunResult help = RunProgram({sfx, "--help"}, "", dir);
  EXPECT_EQ(help.exitCode, 0);
  for (const char* part : {"Exit status", "dolm list"}) EXPECT_TRUE(Contains(help.out, part)) << help.out;
  EXPECT_EQ(FolderEntries(dir).size(), 2u) << "--help extracted something";
  EXPECT_EQ(RunProgram({sfx, "--version"}).exitCode, 0);
}

// Grouped switches of any length run or are refused, never crash; a folder
// that starts with '/' is a folder, even with no second '/'.
TEST(LinuxSfx, GroupedSwitchesOfAnyLengthAndFoldersThatStartWithASlash) {
  const std::string dir = MakeTempDir("grouped"), name = "grouped-" + std::to_string(getpid()) + ".txt";
  const std::string sfx = MakeSfx(dir, {{name, Text("new"), 0, 0x20}}, "", kOverwriteKeepRecreate);
  const std::string o40 = "-" + std::string(40, 'o'), q40 = "-" + std::string(40, 'q');
  const std::string o40000 = "-" + std::string(40000, 'o'), q40000 = "-" + std::string(40000, 'q');
  struct Case { std::vector<std::string> args; int status; const char* folder; } cases[] = {
      {{"-o", dir + "/one"}, 0, "/one/"}, {{o40, dir + "/forty"}, 0, "/forty/"},
      {{o40000, dir + "/many"}, 0, "/many/"}, {{q40, "--list"}, 0, nullptr}, {{q40000, "--list"}, 0, nullptr},
      {{"-" + std::string(4000, 'x')}, 2, nullptr}, {{"-" + std::string(4000, 's') + "x"}, 2, nullptr},
      {{"-os", "/tmp"}, 0, nullptr},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {sfx};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = RunProgram(argv, "", dir);
    const std::string label = c.args[0].substr(0, 8) + " " + c.args.back().substr(0, 12);
    EXPECT_EQ(r.exitCode, c.status) << label << ": " << r.err.substr(0, 200);
    if (c.folder) EXPECT_EQ(ReadText(dir + c.folder + name), "new") << label;
    if (c.args.back() == "--list") EXPECT_TRUE(Contains(r.out, name)) << label;
  }
  // "/tmp" is the folder, not the switch t and a folder "mp" here.
  EXPECT_EQ(ReadText("/tmp/" + name), "new");
  std::remove(("/tmp/" + name).c_str());
  EXPECT_FALSE(PathExists(dir + "/mp"));
}

TEST(LinuxSfx, ListAndCheckRunTheEngineWithoutWriting) {
  const std::string dir = MakeTempDir("listcheck");
  const std::string sfx = MakeSfx(dir, {{"docs\\a.txt", TextLikeBytes(9000, 2), 1000000000, 0x21},
                                        {"b.bin", RandomBytes(30000, 3), 1100000000, 0x20}}, "");
  RunResult list = RunProgram({sfx, "--list"});
  RunResult dolm = RunProgram({BuildDir() + "/dolm", "list", sfx});
  ASSERT_EQ(list.exitCode, 0);
  for (const char* line : {"        9000  2001-09-09T01:46:40Z  R--A  docs\\a.txt",
                           "       30000  2004-11-09T11:33:20Z  ---A  b.bin"}) {
    EXPECT_TRUE(Contains(list.out, line)) << list.out;
    EXPECT_TRUE(Contains(dolm.out, line)) << dolm.out;
  }
  EXPECT_EQ(RunProgram({sfx, "--check"}).exitCode, 0);
  Bytes bytes = ReadFileBytes(sfx);
  bytes[bytes.size() - 50] ^= 1;
  ASSERT_TRUE(WriteProgram(sfx, bytes));
  RunResult check = RunProgram({sfx, "--check"}, "", dir);
  EXPECT_EQ(check.exitCode, 4);
  EXPECT_EQ(StubErrorNumber(check.err), 2);
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"sfx"});
}

TEST(LinuxSfx, ProgramsComeOutExecutableAndRunOnNoexecFolders) {
  const std::string dir = MakeTempDir("programs");
  const Bytes elf = ReadFileBytes("/bin/true");
  const std::vector<PackFile> files = {{"bin\\tool.sh", Text("#!/bin/sh\necho ran > \"$1\"\n"), 0, 0x20},
                                       {"bin\\helper", elf, 0, 0x20},
                                       {"readme.txt", Text("text"), 0, 0x20}};
  const std::string sfx = MakeSfx(dir, files, "");
  ASSERT_EQ(RunProgram({sfx, "-s", dir + "/out"}).exitCode, 0);
  ASSERT_EQ(RunProgram({BuildDir() + "/dolm", "extract", sfx, "-C", dir + "/x"}).exitCode, 0);
  for (const std::string root : {dir + "/out", dir + "/x"}) {
    for (const char* program : {"/bin/tool.sh", "/bin/helper"}) EXPECT_TRUE(Executable(root + program)) << root;
    EXPECT_FALSE(Executable(root + "/readme.txt")) << root;
  }
  const std::string mounted = dir + "/noexec";
  mkdir(mounted.c_str(), 0755);
  if (mount("tmpfs", mounted.c_str(), "tmpfs", MS_NOEXEC, "size=16m") != 0) GTEST_SKIP() << "no tmpfs mount here";
  // The script is started through its interpreter; the ELF program cannot be.
  const std::string script = MakeSfx(MakeTempDir("noexec"), {{"go.sh", Text("#!/bin/sh\necho ran > " + dir + "/ran\n"), 0, 0x20}}, "go.sh");
  RunResult r = RunProgram({script, "-s", mounted});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadText(dir + "/ran"), "ran\n");
  const std::string program = MakeSfx(MakeTempDir("noexec"), {{"prog", elf, 0, 0x20}}, "prog");
  r = RunProgram({program, "-os", mounted});
  umount(mounted.c_str());
  EXPECT_TRUE(Exited(r, 126, "prog: cannot be started: Permission denied"));
}

TEST(LinuxSfx, CtrlCWhileTheProgramRunsStillCleansUp) {
  const std::string dir = MakeTempDir("sigint");
  const std::string sfx = MakeSfx(dir, {{"go.sh", Text("#!/bin/sh\ntouch " + dir + "/started\nsleep 5\n"), 0, 0x20},
                                        {"data.txt", TextLikeBytes(1000, 4), 0, 0x20}}, "go.sh", kDeleteWhenDone);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    execl(sfx.c_str(), sfx.c_str(), (dir + "/out").c_str(), static_cast<char*>(nullptr));
    _exit(99);
  }
  for (int i = 0; i < 100 && !PathExists(dir + "/started"); ++i) usleep(50000);
  kill(-pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << "the self-extractor itself was ended by the signal";
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
  EXPECT_TRUE(FilesBelow(dir + "/out").empty()) << "the clean-up did not run";
}

TEST(LinuxSfx, RelativeFolderCleanUpAndAnArchiveThatEndsAfterItsHeader) {
  const std::string dir = MakeTempDir("relative");
  mkdir((dir + "/elsewhere").c_str(), 0755);
  const std::string sfx = MakeSfx(dir, {{"go.sh", Text("#!/bin/sh\ntouch made-by-go\n"), 0, 0x20},
                                        {"a.txt", Text("a"), 0, 0x20}}, "go.sh", kDeleteWhenDone);
  RunResult r = RunProgram({"../sfx", "out"}, "", dir + "/elsewhere");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(FolderEntries(dir + "/elsewhere/out"), std::vector<std::string>{"made-by-go"})
      << "-d removes exactly what the run wrote";

  // Cut right behind the archive header: no message, the run goes on to the launch.
  Bytes whole = ReadFileBytes(StubPath("dolmsfx-linux"));
  const Bytes front = packer::WriteOptionBlock(0, "", packer::MakeExecuteText("go.sh", ""));
  whole.insert(whole.end(), front.begin(), front.end());
  const auto header = packer::MakeArchiveHeader(1, 1);
  whole.insert(whole.end(), header.begin(), header.end());
  ASSERT_TRUE(WriteProgram(dir + "/cut", whole));
  r = RunProgram({dir + "/cut", "-s", dir + "/cutout"});
  EXPECT_EQ(StubErrorNumber(r.err), -1) << r.err;
  EXPECT_EQ(r.exitCode, 127) << "the launch comes, and finds nothing extracted";
}

TEST(TemporaryFolder, AFullLengthSystemPathIsTakenAsItIs) {
  // 258 characters and the separator: the 259 that the folder text holds.
  std::string path = "/tmp/" + std::string(253, 'x');
  setenv("TMPDIR", path.c_str(), 1);
  char folder[kPathSize];
  DefaultTemporaryFolder(folder);
  unsetenv("TMPDIR");
  EXPECT_EQ(std::string(folder), path + "/");
}

}  // namespace
