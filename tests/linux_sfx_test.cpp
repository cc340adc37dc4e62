// The Linux self-extractor as Linux users script it: exit status, getopt-style
// switches, --help/--list/--check, noexec folders, execute permission, Ctrl-C,
// and the run's edge cases (a relative folder, an archive that ends after its
// header, a full-length temporary path); folders that other users may write,
// stop signals, free space and control bytes in stored texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
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
                    uint32_t word = OptionWord({kKeepOriginalFileAttrib, kRecreateOriginalFolders}),
                    const std::string& folder = "", const std::string& args = "") {
  const Bytes front = packer::WriteOptionBlock(word, folder, packer::MakeExecuteText(exec, args));
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
    const char* name = "setup.sh";
  } cases[] = {
      {"program exit 0", "#!/bin/sh\nexit 0\n", "-s", "", 0},
      {"program exit 7", "#!/bin/sh\nexit 7\n", "-s", "", 7},
      {"program killed by a signal", "#!/bin/sh\nkill -TERM $$\n", "-s", "", 128 + SIGTERM},
      {"not extracted", nullptr, "-s", "", 127},
      {"Cancel at the overwrite question", "#!/bin/sh\nexit 0\n", "-p", "c\n", 1},
      // No shell takes a file that is neither ELF nor "#!" (a PE/shell polyglot).
      {"an MZ file is no program", "MZ=1\nexit 9\n", "-s", "", 126, "setup.exe"},
  };
  for (const Case& c : cases) {
    const std::string dir = MakeTempDir("status");
    std::vector<PackFile> files = {{"a.txt", Text("a"), 0, 0x20}};
    if (c.script) files.push_back({c.name, Text(c.script), 0, 0x20});
    const std::string sfx = MakeSfx(dir, files, c.name);
    WriteText(dir + "/a.txt", "there before");
    RunResult r = RunProgram({sfx, c.args, dir}, c.input);
    EXPECT_EQ(r.exitCode, c.status) << c.label << ": " << r.err;
    // The noexec hint belongs to a refused permission, not to a file that is no program.
    EXPECT_FALSE(Contains(r.err, "may not allow programs")) << c.label << ": " << r.err;
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
  EXPECT_TRUE(Contains(r.err, "may not allow programs")) << r.err;
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

// Runs a shell command as the user nobody: the other user of a shared system.
bool AsNobody(const std::string& command) {
  return std::system(("setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c '" + command + "'").c_str()) == 0;
}

// Starts the stub with a pipe on its standard input and standard error in
// dir/err; returns its process and the pipe's writing end.
pid_t StartWithPipe(const std::vector<std::string>& args, const std::string& dir, int* input) {
  int fds[2];
  WriteText(dir + "/err", "");
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[1]);
    const int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(99);
  }
  close(fds[0]);
  *input = fds[1];
  return pid;
}

int ExitStatusOf(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// A folder that another user made writable for all, stored or given: the run
// extracts into a private folder inside it and says so. In the runner's own
// such folder the link planted under a stored name is replaced, not written
// through.
TEST(LinuxSfx, AFolderOthersMayWriteGetsAPrivateFolderInside) {
  if (!AsNobody("true")) GTEST_SKIP() << "setpriv cannot switch to the user nobody here";
  struct Case { const char* label; bool stored; bool ours; } cases[] = {
      {"stored", true, false}, {"given", false, false}, {"the runner's own", false, true}};
  for (const Case& c : cases) {
    const std::string dir = MakeTempDir("shared"), shared = dir + "/shared";
    chmod(dir.c_str(), 01777);
    WriteText(dir + "/victim", "precious");
    if (c.ours) mkdir(shared.c_str(), 0777), chmod(shared.c_str(), 0777);
    ASSERT_TRUE(AsNobody((c.ours ? "" : "mkdir -m 777 " + shared + " && ") + "ln -s ../victim " + shared + "/a.txt"));
    const std::string sfx = MakeSfx(dir, {{"a.txt", Text("stored"), 0, 0x20},
                                          {"setup.sh", Text("#!/bin/sh\necho ran > ran.txt\n"), 0, 0x20}},
                                    "setup.sh", 0x014, c.stored ? shared : "");
    RunResult r = c.stored ? RunProgram({sfx, "-os"}) : RunProgram({sfx, "-os", shared});
    EXPECT_EQ(r.exitCode, 0) << c.label << ": " << r.err;
    EXPECT_EQ(ReadText(dir + "/victim"), "precious") << c.label << ": written through the planted link";
    EXPECT_EQ(Contains(r.err, "other users may write"), !c.ours) << c.label << ": " << r.err;
    std::string inside = shared;
    for (const std::string& name : FolderEntries(shared))
      if (name.compare(0, 8, "dolmsfx-") == 0) inside = shared + "/" + name;
    struct stat st = {};
    ASSERT_EQ(lstat(inside.c_str(), &st), 0) << c.label;
    EXPECT_EQ(st.st_mode & 0777, c.ours ? 0777u : 0700u) << inside;
    EXPECT_EQ(ReadText(inside + "/a.txt"), "stored") << c.label;
    EXPECT_EQ(ReadText(inside + "/ran.txt"), "ran\n") << c.label;
  }
}

// A program swapped while the run waits at the overwrite question is not the
// file this run wrote: it is not started.
TEST(LinuxSfx, AProgramSwappedAfterItsExtractionIsNotStarted) {
  const std::string dir = MakeTempDir("swap"), out = dir + "/out";
  mkdir(out.c_str(), 0755);
  WriteText(out + "/z.txt", "old");
  const std::string sfx = MakeSfx(dir, {{"a.sh", Text("#!/bin/sh\necho ours > ../ran\n"), 0, 0x20},
                                        {"z.txt", Text("new"), 0, 0x20}}, "a.sh");
  int input = -1;
  const pid_t pid = StartWithPipe({sfx, "-p", out}, dir, &input);
  for (int i = 0; i < 200 && !Contains(ReadText(dir + "/err"), "Overwrite file"); ++i) usleep(25000);
  ASSERT_TRUE(WriteProgram(out + "/new.sh", Text("#!/bin/sh\necho swapped > ../ran\n")));
  rename((out + "/new.sh").c_str(), (out + "/a.sh").c_str());
  EXPECT_EQ(write(input, "y\n", 2), 2);
  close(input);
  EXPECT_EQ(ExitStatusOf(pid), 126) << ReadText(dir + "/err");
  EXPECT_FALSE(PathExists(dir + "/ran")) << ReadText(dir + "/ran");
}

// SIGTERM in the middle of a large file removes the half-written file, and
// the private folder when the run made it; a run that writes nothing leaves
// no private folder either.
TEST(LinuxSfx, StopSignalsAndFailuresLeaveNothingHalfWritten) {
  const std::string dir = MakeTempDir("stop"), tmp = dir + "/tmp", out = dir + "/out";
  mkdir(tmp.c_str(), 0755);
  const std::string sfx = MakeSfx(dir, {{"a.txt", Text("whole"), 0, 0x20}, {"big.bin", Bytes(256u << 20, 'x'), 0, 0x20}}, "");
  // An archive that ends behind its header: the run writes nothing.
  Bytes cut = ReadFileBytes(StubPath("dolmsfx-linux"));
  const Bytes front = packer::WriteOptionBlock(0, "", "");
  const auto header = packer::MakeArchiveHeader(1, 1);
  cut.insert(cut.end(), front.begin(), front.end());
  cut.insert(cut.end(), header.begin(), header.end());
  ASSERT_TRUE(WriteProgram(dir + "/cut", cut));
  setenv("TMPDIR", tmp.c_str(), 1);
  struct Case { std::vector<std::string> args; bool stop; int status; } cases[] = {
      {{sfx, "-s"}, true, 128 + SIGTERM}, {{sfx, "-s", out}, true, 128 + SIGTERM}, {{dir + "/cut", "-s"}, false, 0}};
  for (const Case& c : cases) {
    int input = -1;
    const pid_t pid = StartWithPipe(c.args, dir, &input);
    for (int i = 0; c.stop && i < 20000; ++i) {
      std::string big = out + "/big.bin";
      for (const std::string& name : FolderEntries(tmp))
        if (c.args.size() == 2) big = tmp + "/" + name + "/big.bin";
      struct stat st;
      if (stat(big.c_str(), &st) == 0 && st.st_size > 0) break;
      usleep(500);
    }
    if (c.stop) kill(pid, SIGTERM);
    close(input);
    EXPECT_EQ(ExitStatusOf(pid), c.status) << c.args.back();
    EXPECT_TRUE(FolderEntries(tmp).empty()) << c.args.back() << ReadText(dir + "/err");
  }
  unsetenv("TMPDIR");
  EXPECT_EQ(FolderEntries(out), std::vector<std::string>{"a.txt"});
}

// Free space is checked before anything is written; a write that fails all
// the same names the file and the system's reason.
TEST(LinuxSfx, AnArchiveThatDoesNotFitIsRefusedBeforeWriting) {
  const std::string dir = MakeTempDir("space"), small = dir + "/small";
  const std::string sfx = MakeSfx(dir, {{"big.bin", Bytes(2u << 20, 'x'), 0, 0x20}}, "");
  RunOptions limited;
  limited.fileLimitBytes = 65536;
  RunResult r = RunProgram({sfx, "-s", dir + "/out"}, limited);
  EXPECT_TRUE(Contains(r.err, "big.bin: cannot be written: File too large")) << r.err;
  mkdir(small.c_str(), 0755);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "mount is not permitted here";
  r = RunProgram({sfx, "-s", small});
  const std::vector<std::string> left = FolderEntries(small);
  umount(small.c_str());
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_TRUE(Contains(r.err, small + ": not enough free space: 2101248 bytes needed, 1048576 bytes free")) << r.err;
  EXPECT_TRUE(left.empty());
}

// An OSC 52 escape in the stored execute text reaches no terminal.
TEST(LinuxSfx, StoredTextsAreEscaped) {
  const std::string dir = MakeTempDir("escape"), osc = "\x1b]52;c;aGk=\x07";
  const std::string sfx = MakeSfx(dir, {{"a.txt", Text("a"), 0, 0x20}}, osc + "x.sh", 0x014, "", " " + osc);
  for (std::vector<std::string> args : {std::vector<std::string>{"--list"}, {"-a"}, {"-s", dir + "/out"}}) {
    args.insert(args.begin(), sfx);
    RunResult r = RunProgram(args);
    EXPECT_EQ((r.out + r.err).find_first_of("\x1b\x07"), std::string::npos) << args[1] << ": " << r.out + r.err;
    EXPECT_TRUE(Contains(r.out + r.err, "\\x1b")) << args[1];
  }
}

// A self-extractor whose option block carries the extension record asking for
// every behaviour, with the licence text when one is given.
std::string MakeRecordSfx(const std::string& dir, const std::vector<PackFile>& files, const std::string& exec,
                          const std::string& licence = "") {
  StoredOptions options = {};
  options.record.optionWord = kOverwriteKeepRecreate;
  packer::SetOptionText(options.execFile, exec);
  packer::SetOptionText(options.execArgs, "stored");
  options.extension.present = true;
  options.extension.behaviour = kBehaveAll;
  options.extension.licence = reinterpret_cast<const uint8_t*>(licence.data());
  options.extension.licenceLength = static_cast<uint32_t>(licence.size());
  EXPECT_TRUE(WriteProgram(dir + "/sfx", LinuxStubWith(files, packer::WriteOptionBlock(options), 1)));
  return dir + "/sfx";
}

// Runs argv on a terminal of its own, typing input and then the end of
// input; out holds everything the terminal showed.
RunResult RunOnTerminal(const std::vector<std::string>& argv, const std::string& input) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execv(args[0], args.data());
    _exit(127);
  }
  RunResult r{};
  if (pid < 0) return r.exitCode = -1, r;
  const std::string typed = input + "\x04";
  EXPECT_EQ(write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  char buffer[4096];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) r.out.append(buffer, static_cast<size_t>(n));
  close(terminal);
  r.exitCode = ExitStatusOf(pid);
  return r;
}

// An archive with the record over existing files: a damaged copy (with -i
// too) or a write that fails leaves every old file as it was, no partial or
// temporary file, and exits 4; a whole one replaces them.
TEST(RecordArchive, NothingOnDiskIsHarmedByADamagedCopyOrAFailedWrite) {
  const std::string dir = MakeTempDir("record-damage");
  const std::vector<PackFile> files = {{"a.txt", Text("new"), 0, 0x20},
                                       {"big.txt", TextLikeBytes(300000, 7), 0, 0x20},
                                       {"c.txt", Text("new"), 0, 0x20}};
  const Bytes whole = ReadFileBytes(MakeRecordSfx(dir, files, ""));
  struct Case { const char* label; size_t keep, flip; const char* switches; long fileLimit; int status; const char* after; } cases[] = {
      {"whole", whole.size(), 0, "-s", 0, 0, "new new new"},
      {"a bit flipped in the last block", whole.size(), whole.size() - 30, "-s", 0, 4, "old old old"},
      {"the same with -i", whole.size(), whole.size() - 30, "-si", 0, 4, "old old old"},
      {"cut short", whole.size() - 30, 0, "-s", 0, 4, "old old old"},
      {"a write that fails in big.txt", whole.size(), 0, "-s", 100000, 4, "new old old"},
  };
  for (const Case& c : cases) {
    const std::string out = MakeTempDir("record-out");
    Bytes bytes(whole.begin(), whole.begin() + static_cast<long>(c.keep));
    if (c.flip != 0) bytes[c.flip] ^= 0x10;
    ASSERT_TRUE(WriteProgram(dir + "/copy", bytes));
    for (const PackFile& f : files) WriteText(out + "/" + f.name, "old");
    RunOptions options;
    options.fileLimitBytes = c.fileLimit;
    const RunResult r = RunProgram({dir + "/copy", c.switches, out}, options);
    std::string after;
    for (const PackFile& f : files) after += ReadText(out + "/" + f.name) == "old" ? " old" : " new";
    EXPECT_EQ(std::tuple(r.exitCode, after.substr(1), FolderEntries(out).size()), std::tuple(c.status, c.after, files.size()))
        << c.label << ": " << r.err;
  }
}

// With the record: "--" hands what follows to the program, --noexec starts
// nothing, and the licence must be accepted (y on a terminal, --accept)
// before anything is written; a progress line shows on a terminal only.
// Without the record, the argument after "--" is the folder, as ever.
TEST(RecordArchive, DashDashNoexecAndTheLicence) {
  const std::string dir = MakeTempDir("record-args"), report = dir + "/args";
  const std::vector<PackFile> files = {
      {"setup.sh", Text("#!/bin/sh\nprintf '%s\\n' \"$@\" > " + report + "\n"), 0, 0x20}};
  const std::string licence = "Terms of use\r\nline two\x1b[31m\n";
  const std::string record = MakeRecordSfx(dir, files, "setup.sh", licence);
  ASSERT_EQ(rename(record.c_str(), (dir + "/record").c_str()), 0);
  StoredOptions plain = {};
  plain.record.optionWord = kOverwriteKeepRecreate;
  packer::SetOptionText(plain.execFile, "setup.sh");
  packer::SetOptionText(plain.execArgs, "stored");
  ASSERT_TRUE(WriteProgram(dir + "/classic", LinuxStubWith(files, packer::WriteOptionBlock(plain), 1)));
  struct Case { const char* sfx; std::vector<std::string> args; bool terminal; const char* input; int status; const char* ran; bool progress; } cases[] = {
      {"record", {"--accept", "OUT", "--", "--prefix=/x", "a \"b\""}, false, "", 0, "stored\n--prefix=/x\na \"b\"\n", false},
      {"record", {"--accept", "--noexec", "OUT"}, false, "", 0, nullptr, false},
      {"record", {"OUT"}, false, "y\n", 1, nullptr, false},
      {"record", {"OUT", "--", "x"}, true, "maybe\ny\n", 0, "stored\nx\n", true},
      {"record", {"OUT"}, true, "n\n", 1, nullptr, false},
      {"record", {"OUT"}, true, "", 1, nullptr, false},
      {"classic", {"--", "OUT"}, false, "", 0, "stored\n", false},
  };
  for (const Case& c : cases) {
    const std::string out = MakeTempDir("record-args-out") + "/new";
    std::vector<std::string> argv = {dir + "/" + c.sfx};
    for (const std::string& a : c.args) argv.push_back(a == "OUT" ? out : a);
    RemoveTree(report);
    const RunResult r = c.terminal ? RunOnTerminal(argv, c.input) : RunProgram(argv, c.input);
    const std::string label = std::string(c.sfx) + " " + c.args[0] + " " + c.input;
    EXPECT_EQ(r.exitCode, c.status) << label << ": " << r.out << r.err;
    EXPECT_EQ(PathExists(report) ? ReadText(report) : "(not run)", c.ran ? c.ran : "(not run)") << label;
    EXPECT_EQ(PathExists(out), c.status == 0) << label << ": nothing is written before the licence is accepted";
    EXPECT_EQ(Contains(r.out + r.err, "extracting 100% setup.sh"), c.progress) << label;
    if (c.terminal) EXPECT_TRUE(Contains(r.out, "line two\\x1b[31m") && !Contains(r.out, "\x1b[31m")) << r.out;
    if (!c.terminal && c.status == 1) EXPECT_TRUE(Contains(r.err, "--accept")) << r.err;
  }
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

// Crafted archives: a link out of the folder in an archive that does not ask
// to be checked first is still never made (the stub ends with status 4, dolm
// extract with 1); without the record, bytes in the entries' reserved field
// mean nothing and the files come out by today's rules.
TEST(LinuxSfx, UnixEntriesOfCraftedArchives) {
  const std::string dir = MakeTempDir("unix-crafted");
  ExtensionRecord record = {};
  record.present = true;
  record.unixModes = true;  // and no behaviour: nothing is checked before writing
  const Bytes entry = packer::WriteExtensionRecord(record);
  const uint32_t word = OptionWord({kKeepOriginalFileAttrib, kRecreateOriginalFolders});
  const std::vector<PackFile> files = {{"a.txt", Text("a"), 0, 0x20, 0100600},
                                       {"d\\lnk", Text("../../x"), 0, 0x20, 0120777}};
  const mode_t mask = umask(0);
  umask(mask);
  struct Case { const char* label; Bytes front; int stub, tool; unsigned mode; bool lnkFile; } cases[] = {
      {"record", Join(entry, packer::WriteOptionBlock(word, "", "", static_cast<uint32_t>(entry.size()))), 4, 1,
       0100600, false},
      {"classic", packer::WriteOptionBlock(word, "", ""), 0, 0, S_IFREG | (0666 & ~mask), true},
  };
  for (const Case& c : cases) {
    const std::string sfx = dir + "/" + c.label + ".sh", out = dir + "/" + c.label, tool = out + "-tool";
    ASSERT_TRUE(WriteProgram(sfx, LinuxStubWith(files, c.front, 1)));
    const RunResult stub = RunProgram({sfx, out}), extract = RunProgram({BuildDir() + "/dolm", "extract", sfx, "-C", tool});
    EXPECT_TRUE(Exited(stub, c.stub, c.stub ? "points outside the extraction folder" : "")) << c.label;
    EXPECT_TRUE(Exited(extract, c.tool, c.tool ? "points outside the extraction folder" : "")) << c.label;
    for (const std::string& folder : {out, tool}) {
      struct stat st;
      EXPECT_TRUE(lstat((folder + "/a.txt").c_str(), &st) == 0 && st.st_mode == c.mode) << folder;
      const bool made = lstat((folder + "/d/lnk").c_str(), &st) == 0;
      EXPECT_EQ(made, c.lnkFile) << folder;
      if (made) EXPECT_TRUE(S_ISREG(st.st_mode)) << folder;
    }
  }
}

}  // namespace
