// Faults on the way out, run through the Linux stub: a target folder that
// cannot be created, read-only target files, a disk that fills up during
// the extraction, and an extracted file still open while the clean-up runs.
// Whatever happens, nothing that was on disk before the run may be lost.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "support/test_support.h"

namespace {


// A stub with the given files and options in a fresh area, removed again at
// the end; run/ is the stub's working folder, open to every user.
struct Fixture {
  std::string root, exe, run;
  std::vector<packer::PackFile> files;

  Fixture(const char* tag, std::vector<packer::PackFile> stored, uint32_t word, const std::string& execText = "")
      : root(MakeTempDir(tag)), exe(root + "/sfx"), run(root + "/run"), files(std::move(stored)) {
    chmod(root.c_str(), 0777);
    mkdir(run.c_str(), 0777);
    chmod(run.c_str(), 0777);
    const packer::Bytes options = packer::WriteOptionBlock(word, "", execText);
    EXPECT_TRUE(WriteProgram(exe, LinuxStubWith(files, options, 0)));
  }
  ~Fixture() { RemoveTree(root); }

  // Runs the stub with `switches`; user as in RunOptions.
  RunResult Run(std::vector<std::string> switches, uid_t user = 0) const {
    RunOptions options;
    options.cwd = run;
    options.timeoutSeconds = 30;
    options.addressLimitMb = 256;
    options.user = user;
    switches.insert(switches.begin(), exe);
    const RunResult r = RunProgram(switches, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0) << r.err;
    return r;
  }
};

std::vector<packer::PackFile> TwoFiles() {
  return {{"a.txt", TextLikeBytes(4000, 1), 1000000000u, 0x20}, {"b.txt", TextLikeBytes(3000, 2), 1000000000u, 0x20}};
}

TEST(OutputFaults, FolderThatCannotBeCreatedGivesErrorZeroAndKeepsTheBlocker) {
  Fixture f("fault-folder", TwoFiles(), kOverwriteKeepRecreate);
  WriteFileBytes(f.run + "/blocker", Text("mine"));
  const RunResult r = f.Run({"-s", "blocker\\out"});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(StubErrorNumber(r.err), 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "could not be opened")) << r.err;
  EXPECT_EQ(ReadFileBytes(f.run + "/blocker"), Text("mine"));
}

TEST(OutputFaults, ReadOnlyTargets) {
  const struct {
    const char* name;
    std::vector<std::string> switches;
    uid_t user;
    bool replaced;  // the stored bytes took the old file's place
    int error;
  } rows[] = {
      // Overwrite-all clears the read-only attribute first, as on Windows.
      {"overwrite all, own file", {"-s", "-o", "out"}, 0, true, -1},
      // The question gets no answer (end of input): the file is kept.
      {"asked, no answer", {"-s", "out"}, 0, false, -1},
      // Another user's read-only file in a folder the stub cannot write.
      {"overwrite all, someone else's file", {"-s", "-o", "out"}, 65534, false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.user != 0 && getuid() != 0) continue;  // needs root to run the stub as another user
    Fixture f("fault-readonly", TwoFiles(), OptionWord({kKeepOriginalFileAttrib, kRecreateOriginalFolders}));
    const std::string target = f.run + "/out/a.txt";
    mkdir((f.run + "/out").c_str(), 0755);  // owned by the test: only it may write here
    WriteFileBytes(target, Text("precious"));
    chmod(target.c_str(), 0444);
    const RunResult r = f.Run(row.switches, row.user);
    EXPECT_EQ(r.exitCode, row.error >= 0 ? 4 : 0) << r.err;
    EXPECT_EQ(StubErrorNumber(r.err), row.error) << r.err;
    EXPECT_EQ(ReadFileBytes(target), row.replaced ? f.files[0].data : Text("precious"));
  }
}

// A 64 KiB file system is to receive 300 KB: the stub refuses before it
// writes anything; with -i it goes on, a write fails part-way, and it starts
// the execute file. A file that was there stays.
TEST(OutputFaults, DiskFillsUpDuringExtraction) {
  const std::string script = "#!/bin/sh\necho ran > ../launched\n";
  Fixture f("fault-full",
            {{"setup.exe", Text(script), 1000000000u, 0x20}, {"big1.bin", RandomBytes(150000, 3), 1000000000u, 0x20},
             {"big2.bin", RandomBytes(150000, 4), 1000000000u, 0x20}},
            kOverwriteKeepRecreate, "\"[setup.exe]\"");
  const std::string disk = f.run + "/disk";
  for (bool goOn : {false, true}) {
    mkdir(disk.c_str(), 0777);
    if (mount("dolmtest", disk.c_str(), "tmpfs", 0, "size=64k,mode=0777") != 0)
      GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
    WriteFileBytes(disk + "/keep.txt", Text("was here before"));
    const RunResult r = f.Run({"-s", "-o", goOn ? "-i" : "-o", "disk"});
    EXPECT_EQ(r.exitCode, goOn ? 0 : 4) << r.err;
    EXPECT_EQ(Contains(r.err, "disk: not enough free space: "), !goOn) << r.err;
    EXPECT_EQ(PathExists(f.run + "/launched"), goOn);
    EXPECT_EQ(ReadFileBytes(disk + "/keep.txt"), Text("was here before"));
    if (!goOn) EXPECT_FALSE(PathExists(disk + "/setup.exe")) << "written although it does not fit";
    umount2(disk.c_str(), MNT_DETACH);
  }
}

// The execute file leaves a process behind that holds an extracted file
// open; the clean-up then runs. On Linux an open file can be deleted, so
// the removal takes it; a file that this run did not write stays.
TEST(OutputFaults, FileHeldOpenDuringCleanUp) {
  const std::string script = "#!/bin/sh\n(exec 3<held.txt; sleep 3) >/dev/null 2>&1 &\nsleep 0.3\n";
  Fixture f("fault-open",
            {{"setup.exe", Text(script), 1000000000u, 0x20}, {"held.txt", TextLikeBytes(2000, 5), 1000000000u, 0x20}},
            kOverwriteKeepRecreate | OptionWord({kDeleteSFXwhenDone}), "\"[setup.exe]\"");
  const std::string out = f.run + "/out";
  mkdir(out.c_str(), 0755);
  WriteFileBytes(out + "/mine.txt", Text("not from the archive"));
  // The folder is given absolute, in the stub's own form.
  std::string folder = out;
  for (char& c : folder)
    if (c == '/') c = '\\';
  const RunResult r = f.Run({"-s", folder});
  EXPECT_EQ(std::tuple(r.exitCode, r.err), std::tuple(0, ""));
  EXPECT_EQ(FilesBelow(out), (std::map<std::string, std::vector<uint8_t>>{{"mine.txt", Text("not from the archive")}}));
}

}  // namespace
