// dolm pack and restub from the command line: what they refuse (and that a
// refusal leaves every file as it was), input selection, the written file's
// mode, the progress line, a signal during a pack, and restub round trips.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/crafted_pe.h"
#include "support/test_support.h"
#include "tool/sha256.h"

namespace {

using Args = std::vector<std::string>;

RunResult Dolm(Args args, const std::string& input = "", const std::string& cwd = "") {
  args.insert(args.begin(), BuildDir() + "/dolm");
  return RunProgram(args, input, cwd);
}

// Every file below root: mode and bytes, links as their target.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> state;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    struct stat st;
    lstat(e.path().c_str(), &st);
    std::string& item = state[e.path()] = std::to_string(st.st_mode) + ":";
    if (S_ISLNK(st.st_mode)) item += std::filesystem::read_symlink(e.path()).string();
    else if (S_ISREG(st.st_mode)) item += ReadText(e.path());
  }
  return state;
}

// The stored names of a self-extractor, from its JSON listing.
std::vector<std::string> Names(const std::string& sfx) {
  std::string json = Dolm({"list", sfx, "--json"}).out;
  std::vector<std::string> names;
  const std::string key = "\"name\": \"";
  for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
    size_t start = at + key.size();
    std::string name = json.substr(start, json.find('"', start) - start);
    size_t escape;
    while ((escape = name.find("\\\\")) != std::string::npos) name.erase(escape, 1);
    names.push_back(name);
  }
  return names;
}

class PackCli : public testing::Test {
 protected:
  void SetUp() override {
    root = MakeTempDir("pack_cli");
    for (const char* folder : {"/app", "/app/sub", "/app/locale", "/app/locale/de", "/app/locale/fr", "/links", "/out"})
      mkdir((root + folder).c_str(), 0755);
    WriteText(root + "/app/setup.sh", "#!/bin/sh\necho hi\n");
    WriteText(root + "/app/sub/b.txt", "bee");
    chmod((root + "/app/sub/b.txt").c_str(), 0640);
    WriteText(root + "/app/locale/de/strings_1.po", "de");
    WriteText(root + "/app/locale/fr/strings_1.po", "fr");
    WriteText(root + "/victim", "victim");
    WriteText(root + "/out/old.sh", "previous output");
    symlink((root + "/victim").c_str(), (root + "/out/planted.sh.part").c_str());
    symlink((root + "/victim").c_str(), (root + "/out/link.sh").c_str());
  }
  std::string root;
};

TEST_F(PackCli, RefusalsLeaveEveryFileAsItWas) {
  const std::string app = root + "/app", out = root + "/out/new.sh";
  const std::string longArgs(414, 'a');
  struct Case { Args args; int code; const char* message; } cases[] = {
      {{"-o", app + "/setup.sh", app}, 1, "is the input"},
      {{"-o", app + "/sub/b.txt", app + "/sub/b.txt"}, 1, "is the input"},
      {{"-o", "-", app}, 2, "must be a file"},
      {{"-o", root + "/out/link.sh", app}, 1, "not a regular file"},
      {{"-o", root + "/out", app}, 1, "not a regular file"},
      {{"-o", root + "/out/planted.sh", app}, 1, "planted.sh.part' exists and is not a regular file"},
      {{"-o", root + "/out/old.sh", "--exec", "setup.exe", app}, 1, "closest stored names: 'app\\setup.sh'"},
      {{"-o", out, "--flat", app}, 1, "'app\\locale\\de\\strings_1.po' and 'app\\locale\\fr\\strings_1.po'"},
      {{"-o", out, "--exec", "app/setup.sh", "--args", "/D=\"C:\\P\"", app}, 2, "first double quote"},
      {{"-o", out, "--exec", "app/setup.sh", "--args", longArgs, app}, 2, "command line of 531 characters"},
      {{"-o", out, "--temp", "C:\\a\\..\\b", app}, 2, "'..' component"},
      {{"-o", out, "--temp", "a\tb", app}, 2, "control characters"},
      {{"-o", out, "--temp", "a\"b", app}, 2, "must not hold '\"'"},
      {{"-o", out, "--temp", std::string(260, 't'), app}, 2, "260 characters long"},
      {{"-o", out, "--stub", "win23", app}, 2, "(win32, win64, linux)"},
      {{"-o", out, "--exclude", "a?p", app}, 1, "no file to pack"},
      {{"-o", out, "--classic", root + "/links"}, 1, "which does not exist"},  // followed without the record
      {{"-o", out, "--no-follow", root + "/links"}, 1, "--no-follow refuses links"},
      {{"-o", out, "-T", root + "/abs.list"}, 1, "names read with -T are stored as given, relative to the current"},
  };
  WriteText(root + "/abs.list", app + "/setup.sh\n");
  symlink("nowhere", (root + "/links/dangling").c_str());
  const auto before = Snapshot(root);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args.back());
    Args args = {"pack", "--stub", "linux"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_TRUE(Exited(Dolm(args), c.code, c.message));
    EXPECT_EQ(Snapshot(root), before);  // inputs, old.sh, the planted link and its victim
    EXPECT_TRUE(NoOutputAt(out));
  }
  unlink((root + "/links/dangling").c_str());
  symlink("loop", (root + "/links/loop").c_str());
  EXPECT_TRUE(Exited(Dolm({"pack", "--stub", "linux", "--classic", "-o", out, root + "/links"}), 1, "link that loops"));
}

TEST_F(PackCli, InputSelection) {
  const std::string app = root + "/app";
  symlink("../app/setup.sh", (root + "/links/good").c_str());
  // What find prints: a list of paths that hold the same file name twice.
  const std::string found = RunProgram({"/usr/bin/find", "app", "-type", "f"}, "", root).out;
  const std::vector<std::string> all = {"app\\locale\\de\\strings_1.po", "app\\locale\\fr\\strings_1.po",
                                        "app\\setup.sh", "app\\sub\\b.txt"};
  struct Case { Args args; std::string input; std::vector<std::string> names; } cases[] = {
      {{"-C", root, "app/sub"}, "", {"app\\sub\\b.txt"}},
      {{"-C", root, "-C", "app", ".", "--exclude", "locale"}, "", {"setup.sh", "sub\\b.txt"}},
      {{"--exclude", "*.po", "--exclude=sub", app}, "", {"app\\setup.sh"}},
      {{"--exclude", "app/locale/*", app}, "", {"app\\setup.sh", "app\\sub\\b.txt"}},
      {{"-C", app, "-T", "-"}, "sub\n\n  \nsetup.sh\n", {"setup.sh", "sub\\b.txt"}},
      {{"-T", "-"}, found, all},
      {{"-T", "-"}, "./app/sub/b.txt\n", {"app\\sub\\b.txt"}},
      {{app + "/sub", app + "/setup.sh", app + "/setup.sh"}, "", {"setup.sh", "sub\\b.txt"}},
      {{app + "/setup.sh", app + "/sub"}, "", {"setup.sh", "sub\\b.txt"}},
      {{root + "/links"}, "", {"links\\good"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    Args args = {"pack", "--stub", "linux", "-o" + root + "/s.sh"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = Dolm(args, c.input, root);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Names(root + "/s.sh"), c.names);
    const size_t n = c.names.size();
    EXPECT_TRUE(Contains(r.out, ": " + std::to_string(n) + (n == 1 ? " file, " : " files, "))) << r.out;
  }
}

// Sparse files past the most one archive takes: refused before a byte is read,
// with the limit passed and by how much.
TEST_F(PackCli, InputsPastTheArchiveLimitAreRefusedWithTheExcess) {
  const std::string big = root + "/big";
  mkdir(big.c_str(), 0755);
  for (auto [name, mib] : {std::pair{"/one", 1100}, {"/two", 1100}, {"/huge", 2100}}) {
    WriteText(big + name, "");
    ASSERT_EQ(truncate((big + name).c_str(), off_t{mib} << 20), 0);
  }
  struct Case { Args inputs; const char* message; } cases[] = {
      {{big + "/huge"}, "holds 2.1 GiB, 68.0 MiB (71303168 bytes) more than the 2032 MiB (2130706432 bytes) "
                        "that one archive, and so one file, can take"},
      {{big + "/one", big + "/two"}, "the 2 input files hold 2.1 GiB together, 168.0 MiB (176160768 bytes) more"},
  };
  for (const auto& c : cases) {
    Args args = {"pack", "--stub", "linux", "-o", root + "/s.sh"};
    args.insert(args.end(), c.inputs.begin(), c.inputs.end());
    EXPECT_TRUE(Exited(Dolm(args), 1, c.message));
    EXPECT_TRUE(NoOutputAt(root + "/s.sh"));
  }
}

TEST_F(PackCli, OutputModeFollowsTheUmask) {
  for (mode_t mask : {022, 027, 077}) {
    mode_t former = umask(mask);
    RunResult r = Dolm({"pack", "--stub", "linux", "--output=" + root + "/s.sh", root + "/app/setup.sh"});
    umask(former);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((root + "/s.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
  }
}

// A pack long enough to be seen at work: 40 MiB of text at level 6.
Args SlowPack(const std::string& root) {
  WriteFileBytes(root + "/big.txt", TextLikeBytes(40 << 20, 7));
  return {BuildDir() + "/dolm", "pack", "--stub", "linux", "--level", "6", "-o", root + "/big.sh", root + "/big.txt"};
}

// In a child process: runs the program of args[0] with args.
[[noreturn]] void Exec(Args args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

TEST_F(PackCli, ProgressOnATerminalIsOneLineUpdatedInPlace) {
  Args args = SlowPack(root);
  int terminal;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) Exec(args);
  std::string seen;
  char buffer[4096];
  ssize_t got;
  while ((got = read(terminal, buffer, sizeof buffer)) > 0) seen.append(buffer, static_cast<size_t>(got));
  int status = 0;
  waitpid(pid, &status, 0);
  close(terminal);
  EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
  for (const char* part : {"\rdolm: compressing ", "% of 40.0 MiB, ", " left\x1b[K"})
    EXPECT_TRUE(Contains(seen, part)) << part << " in " << seen;
  EXPECT_EQ(seen.find('\n'), seen.rfind('\n')) << "more than the summary line: " << seen;
}

TEST_F(PackCli, SignalDuringPackRemovesThePartFile) {
  Args args = SlowPack(root);
  const std::string part = root + "/big.sh.part";
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) Exec(args);
    for (int i = 0; i < 500 && !PathExists(part); ++i) usleep(10000);
    EXPECT_TRUE(PathExists(part));
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_TRUE(NoOutputAt(root + "/big.sh"));
  }
}

TEST_F(PackCli, FifosAndFoldersSharedThroughLinksNeverHang) {
  const std::string fifo = root + "/fifo", app = root + "/app";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteFileBytes(root + "/stub.exe", CraftPe(0x40, 0x400, CraftTree(1, false, 16, 16)));
  // Every level links twice to the level below: 2^24 paths, 25 folders.
  mkdir((root + "/l0").c_str(), 0755);
  WriteText(root + "/l0/f", "f");
  for (int i = 1; i <= 24; ++i) {
    mkdir((root + "/l" + std::to_string(i)).c_str(), 0755);
    for (const char* name : {"/a", "/b"})
      symlink(("../l" + std::to_string(i - 1)).c_str(), (root + "/l" + std::to_string(i) + name).c_str());
  }
  struct Case { Args args; int code; std::string message; } cases[] = {
      {{"--stub", root + "/stub.exe", "--icon", fifo, app}, 1, "the icon '" + fifo + "' is not a regular file"},
      {{"--stub", "linux", "--icon", fifo, app}, 2, "the Linux stub has none"},
      {{"--stub", "linux", "--classic", root + "/l24"}, 1, "a/b' leads to the folder already stored as 'l24\\a\\a\\a"},
  };
  RunOptions limited;
  limited.timeoutSeconds = 60;
  for (const auto& c : cases) {
    Args args = {BuildDir() + "/dolm", "pack", "-o", root + "/s.sh"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = RunProgram(args, limited);
    EXPECT_FALSE(r.timedOut) << c.args.back();
    EXPECT_TRUE(Exited(r, c.code, c.message)) << c.args.back();
  }
  // An input swapped for a FIFO after it was selected, while the first input is compressed.
  Args args = SlowPack(root);
  WriteText(root + "/z", "z");
  args.push_back(root + "/z");
  RunResult swapped;
  std::thread run([&] { swapped = RunProgram(args, limited); });
  for (int i = 0; i < 3000 && !PathExists(root + "/big.sh.part"); ++i) usleep(10000);
  unlink((root + "/z").c_str());
  mkfifo((root + "/z").c_str(), 0600);
  run.join();
  EXPECT_TRUE(Exited(swapped, 1, "/z' changed while it was packed"));
}

// An extracted entry as the tests compare it: type and mode, and a link's target.
std::string EntryAt(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "missing";
  char mode[16];
  snprintf(mode, sizeof mode, "%06o", static_cast<unsigned>(st.st_mode));
  return S_ISLNK(st.st_mode) ? mode + (" -> " + std::filesystem::read_symlink(path).string()) : mode;
}

// Modes, links and an empty folder through pack, dolm extract and the Linux
// stub (and its clean-up); the classic archive as before.
TEST_F(PackCli, UnixFilesComeBackAsTheyWere) {
  const std::string u = root + "/u", sfx = root + "/u.sh";
  for (const char* folder : {"/u", "/u/sub", "/u/empty"}) mkdir((root + folder).c_str(), 0755);
  const struct { const char* name; unsigned mode; } files[] = {{"secret", 0600}, {"run", 0755}, {"group", 0640}};
  for (const auto& f : files) WriteText(u + "/" + f.name, "no #! here\n"), chmod((u + "/" + f.name).c_str(), f.mode);
  chmod((u + "/empty").c_str(), 0750);
  symlink("../secret", (u + "/sub/lnk").c_str());
  symlink("sub", (u + "/top").c_str());
  const std::map<std::string, std::string> expected = {
      {"empty", "040750"}, {"group", "100640"}, {"run", "100755"}, {"secret", "100600"},
      {"sub/lnk", "120777 -> ../secret"}, {"top", "120777 -> sub"}};
  ASSERT_TRUE(Exited(Dolm({"pack", "--stub", "linux", "-o", sfx, "-C", u, "."}), 0));
  const std::string listing = Dolm({"list", sfx}).out, json = Dolm({"list", sfx, "--json"}).out;
  for (const char* shown : {"-rw-r-----  ---A  group", "drwxr-x---  ----  empty", "lrwxrwxrwx  ---A  sub\\lnk -> ../secret"})
    EXPECT_TRUE(Contains(listing, shown)) << shown << "\n" << listing;
  EXPECT_TRUE(Contains(json, R"("type": "link", "mode": 41471, "modeText": "lrwxrwxrwx", "linkTarget": "sub")")) << json;
  EXPECT_TRUE(Exited(Dolm({"test", sfx}), 0));

  mkdir((root + "/x3").c_str(), 0755);
  WriteText(root + "/x3/mine.txt", "kept");
  ASSERT_TRUE(Exited(Dolm({"extract", sfx, "-C", root + "/x1"}), 0));
  ASSERT_TRUE(Exited(RunProgram({sfx, "-s", root + "/x2"}), 0));
  ASSERT_TRUE(Exited(RunProgram({sfx, "-s", "-d", root + "/x3"}), 0));
  for (const char* out : {"/x1", "/x2"})
    for (const auto& [name, entry] : expected) EXPECT_EQ(EntryAt(root + out + "/" + name), entry) << out << " " << name;
  EXPECT_EQ(FolderEntries(root + "/x3"), std::vector<std::string>{"mine.txt"}) << "-d removes the links and folders it made";

  // Links out of the tree and special bits: refused at pack unless asked for; a link out is refused at extraction
  // before anything is written (dolm extract unless asked for, the stub always), and fails dolm test.
  symlink("../../outside", (u + "/sub/out").c_str());
  const std::string unsafe = root + "/unsafe.sh";
  EXPECT_TRUE(Exited(Dolm({"pack", "--stub", "linux", "-o", unsafe, "-C", u, "."}), 1, "outside the packed tree"));
  ASSERT_TRUE(Exited(Dolm({"pack", "--stub", "linux", "--allow-unsafe-links", "-o", unsafe, "-C", u, "."}), 0));
  EXPECT_TRUE(Exited(Dolm({"extract", unsafe, "-C", root + "/x4"}), 1, "points outside the extraction folder"));
  EXPECT_EQ(EntryAt(root + "/x4/secret"), "missing");
  EXPECT_TRUE(Exited(RunProgram({unsafe, "-s", root + "/x5"}), 4, "points outside the extraction folder"));
  EXPECT_EQ(EntryAt(root + "/x5/secret"), "missing");
  EXPECT_TRUE(Exited(Dolm({"test", unsafe}), 1, "points outside"));
  ASSERT_TRUE(Exited(Dolm({"extract", unsafe, "--allow-unsafe-links", "-C", root + "/x4"}), 0));
  EXPECT_EQ(EntryAt(root + "/x4/sub/out"), "120777 -> ../../outside");
  unlink((u + "/sub/out").c_str());
  chmod((u + "/run").c_str(), 04755);
  EXPECT_TRUE(Exited(Dolm({"pack", "--stub", "linux", "-o", unsafe, "-C", u, "."}), 1, "--keep-special-modes"));
  ASSERT_TRUE(Exited(Dolm({"pack", "--stub", "linux", "--keep-special-modes", "-o", unsafe, "-C", u, "."}), 0));
  ASSERT_TRUE(Exited(Dolm({"extract", unsafe, "-C", root + "/x6"}), 0));
  EXPECT_EQ(EntryAt(root + "/x6/run"), "104755");

  // Classic: links followed, no empty folder, permissions by today's rules (no execute bit without "#!").
  unlink((u + "/top").c_str());
  const mode_t mask = umask(0);
  umask(mask);
  char regular[16];
  snprintf(regular, sizeof regular, "%06o", static_cast<unsigned>(S_IFREG | (0666 & ~mask)));
  ASSERT_TRUE(Exited(Dolm({"pack", "--stub", "linux", "--classic", "-o", root + "/c.sh", "-C", u, "."}), 0));
  ASSERT_TRUE(Exited(Dolm({"extract", root + "/c.sh", "-C", root + "/x7"}), 0));
  for (const char* name : {"run", "secret", "sub/lnk"}) EXPECT_EQ(EntryAt(root + "/x7/" + name), regular) << name;
  EXPECT_EQ(EntryAt(root + "/x7/empty"), "missing");
}

TEST_F(PackCli, MessagesShowNamesEscaped) {
  mkdir((root + "/app/e\x1b]52;c;QQ==\x07").c_str(), 0755);
  // A classic archive passes the empty folder over with a message; with the record its name is refused.
  RunResult r = Dolm({"pack", "--stub", "linux", "--classic", "-o", root + "/out/s\x1b[2J.sh", root + "/app"});
  ASSERT_TRUE(Exited(r, 0, "empty folder '" + root + "/app/e\\x1b]52;c;QQ==\\x07'"));
  EXPECT_TRUE(Exited(Dolm({"pack", "--stub", "linux", "-o", root + "/out/r.sh", root + "/app"}), 1,
                     "cannot be stored as 'app\\e\\x1b]52;c;QQ==\\x07'"));
  EXPECT_TRUE(Contains(r.out, "wrote '" + root + "/out/s\\x1b[2J.sh'")) << r.out;
}

TEST_F(PackCli, RestubMovesTheArchiveByteForByte) {
  const std::string sfx = root + "/s.sh", linux = StubPath("dolmsfx-linux");
  ASSERT_EQ(Dolm({"pack", "--stub", "linux", "-o", sfx, "--exec", "setup.sh", "-C", root + "/app", "."}).exitCode, 0);
  // Another stub: the Windows one when built, else the Linux one made longer.
  std::string other = StubPath("dolmsfx-win32.exe");
  if (!PathExists(other)) {
    other = root + "/other-stub";
    std::vector<uint8_t> image = ReadFileBytes(linux);
    image.resize(image.size() + 4000, 0);
    WriteFileBytes(other, image);
  }
  std::vector<uint8_t> signed_ = ReadFileBytes(sfx);
  for (char c : std::string("SIGNATURE BYTES")) signed_.push_back(static_cast<uint8_t>(c));
  WriteFileBytes(root + "/signed.sh", signed_);
  ASSERT_EQ(Dolm({"restub", root + "/signed.sh", "-o", root + "/there", "--stub", other}).exitCode, 0);
  ASSERT_EQ(Dolm({"restub", root + "/there", "-o", root + "/back.sh", "--stub", "linux"}).exitCode, 0);
  EXPECT_EQ(ReadFileBytes(root + "/back.sh"), ReadFileBytes(sfx));
  EXPECT_EQ(Dolm({"test", root + "/there"}).exitCode, 0);

  RunResult changed = Dolm({"restub", sfx, "-o", root + "/changed.sh", "--stub", "linux", "--exec", "sub/b.txt"});
  ASSERT_EQ(changed.exitCode, 0) << changed.err;
  EXPECT_TRUE(Contains(Dolm({"list", root + "/changed.sh"}).out, "sub\\b.txt"));
  EXPECT_EQ(Dolm({"test", root + "/changed.sh"}).exitCode, 0);
  const std::string extracted = root + "/extracted";
  ASSERT_EQ(Dolm({"extract", root + "/changed.sh", "-C", extracted}).exitCode, 0);
  EXPECT_EQ(FilesBelow(extracted), FilesBelow(root + "/app"));
  EXPECT_EQ(Dolm({"restub", sfx, "-o", sfx, "--stub", "linux"}).exitCode, 1);
  // An input named OUT.part is refused as pack refuses it, not removed as a stale part file.
  const std::string part = root + "/o.sh.part";
  WriteFileBytes(part, ReadFileBytes(sfx));
  EXPECT_TRUE(Contains(Dolm({"restub", part, "-o", root + "/o.sh", "--stub", "linux"}).err, "is the input"));
  EXPECT_EQ(ReadFileBytes(part), ReadFileBytes(sfx));
}

// SHA-256 of a self-extractor's bytes behind the Linux stub: its archive.
std::string ArchiveDigest(const std::string& sfx) {
  const std::vector<uint8_t> bytes = ReadFileBytes(sfx);
  const size_t stub = ReadFileBytes(StubPath("dolmsfx-linux")).size();
  tool::Sha256 sha;
  sha.Add(bytes.data() + stub, bytes.size() - stub);
  return sha.Hex();
}

TEST_F(PackCli, SettingsRecordByDefaultClassicAsBeforeKeptByRestub) {
  // The archive the tool wrote before the record existed, for these inputs.
  const std::string kClassicDigest = "e1d059373a726444fc1ac439b3829c7e22cde4e2fff22c1707c1016a42818b8e";
  WriteFileBytes(root + "/app/data.bin", TextLikeBytes(20000, 5));
  WriteText(root + "/licence.txt", "Terms\nAccept?\n");
  WriteText(root + "/long.txt", std::string(70000, 'x'));
  // A stand-in stub (its one signature copy, then zeros) with room for a record without texts, not for the licence.
  std::vector<uint8_t> big = Text(DOLM_OVERLAY_SIGNATURE);
  big.resize(kMaxArchiveStart - 40, 0);
  WriteFileBytes(root + "/big-stub", big);
  setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  auto pack = [&](const std::string& name, Args extra) {
    Args args = {"pack", "--stub", "linux", "--exec", "setup.sh", "-o", root + "/" + name, "-C", root + "/app", "."};
    args.insert(args.begin() + 5, extra.begin(), extra.end());
    return Dolm(args);
  };
  const std::string all = R"("behaviours": ["exitCodes", "privateFolder", "switches", "checkFirst", "progress"])";
  const struct { const char* name; Args extra; int code; std::string shown; } cases[] = {
      {"default", {}, 0, all},
      {"classic", {"--classic"}, 0, R"("record": null)"},
      {"texts", {"--title", "Acme Setup", "--confirm", root + "/licence.txt"}, 0,
       R"("title": "Acme Setup", "licence": "Terms\u000aAccept?\u000a")"},
      {"classic-title", {"--classic", "--title", "x"}, 2, "takes no --title"},
      {"long-licence", {"--confirm", root + "/long.txt"}, 2, "is 70000 bytes long as stored; at most 65536"},
      {"no-licence", {"--confirm", root + "/none.txt"}, 1, "cannot read the --confirm text"},
      {"near-window", {"--stub", root + "/big-stub"}, 0, all},
      {"past-window", {"--stub", root + "/big-stub", "--confirm", root + "/licence.txt"}, 1, "past the 250478"},
  };
  for (const auto& c : cases) {
    RunResult r = pack(c.name, c.extra);
    ASSERT_TRUE(Exited(r, c.code, c.code ? c.shown : "")) << c.name;
    if (c.code != 0) continue;
    const std::string json = std::regex_replace(Dolm({"list", root + "/" + c.name, "--json"}).out, std::regex("\\s+"), " ");
    EXPECT_TRUE(Contains(json, c.shown)) << c.name << json;
    EXPECT_TRUE(Exited(Dolm({"test", root + "/" + c.name}), 0)) << c.name;
  }
  unsetenv("SOURCE_DATE_EPOCH");
  EXPECT_EQ(ArchiveDigest(root + "/classic"), kClassicDigest);

  // restub keeps the record and changes a text; it cannot drop a record whose Unix modes the file entries hold.
  const std::string texts = root + "/texts";
  ASSERT_TRUE(Exited(Dolm({"restub", texts, "-o", root + "/kept", "--stub", "linux"}), 0));
  EXPECT_EQ(ReadFileBytes(root + "/kept"), ReadFileBytes(texts));
  ASSERT_TRUE(Exited(Dolm({"restub", texts, "-o", root + "/retitled", "--stub", "linux", "--title", "New"}), 0));
  const std::string retitled = Dolm({"list", root + "/retitled", "--json"}).out;
  EXPECT_TRUE(Contains(retitled, R"("title": "New")") && Contains(retitled, R"("licence": "Terms\u000aAccept?\u000a")")) << retitled;
  EXPECT_TRUE(Exited(Dolm({"restub", root + "/default", "-o", root + "/dropped", "--stub", "linux", "--classic"}), 1,
                     "a classic archive cannot carry"));

  // A damaged record: restub and the stub refuse the archive with the record's message.
  std::vector<uint8_t> bytes = ReadFileBytes(texts);
  bytes[ReadFileBytes(StubPath("dolmsfx-linux")).size() + 8] ^= 0x20;
  WriteFileBytes(root + "/damaged", bytes);
  chmod((root + "/damaged").c_str(), 0755);
  for (const Args& args : {Args{BuildDir() + "/dolm", "restub", root + "/damaged", "-o", root + "/x", "--stub", "linux"},
                           Args{root + "/damaged", "--list"}}) {
    const RunResult r = RunProgram(args);
    EXPECT_TRUE(Contains(r.err + r.out, "settings record fails its check")) << args[1];
  }
}

}  // namespace
