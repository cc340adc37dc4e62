// Faults on the way out, run through the Linux stub: a target folder that
// cannot be created, read-only target files, a disk that fills up during
// the extraction, and an extracted file still open while the clean-up runs.
// Whatever happens, nothing that was on disk before the run may be lost.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <string>
#include <vector>

#include "packer/packer.h"
#include "support/limited_run.h"
#include "support/test_support.h"

namespace {

constexpr uid_t kNobody = 65534;

struct Fixture {
  std::string root, exe, run;
  std::vector<packer::PackFile> files;
};

// A stub with the given files and options in a fresh area; run/ is the
// working folder for the stub.
Fixture Make(const char* tag, std::vector<packer::PackFile> files, uint32_t word,
             const std::string& execText = "") {
  Fixture f;
  f.root = MakeTempDir(tag);
  chmod(f.root.c_str(), 0777);
  f.run = f.root + "/run";
  mkdir(f.run.c_str(), 0777);
  chmod(f.run.c_str(), 0777);
  f.files = std::move(files);
  packer::StoredOptions options;
  options.optionWord = word;
  options.executeText = execText;
  std::vector<uint8_t> image = ReadFileBytes(StubPath("dolmsfx-linux"));
  const packer::Bytes archive = packer::BuildArchive(f.files, options, 0, 5);
  image.insert(image.end(), archive.begin(), archive.end());
  f.exe = f.root + "/sfx";
  EXPECT_TRUE(WriteProgram(f.exe, image));
  return f;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<packer::PackFile> TwoFiles() {
  return {{"a.txt", TextLikeBytes(4000, 1), 1000000000u, 0x20},
          {"b.txt", TextLikeBytes(3000, 2), 1000000000u, 0x20}};
}

TEST(OutputFaults, FolderThatCannotBeCreatedGivesErrorZeroAndKeepsTheBlocker) {
  Fixture f = Make("fault-folder", TwoFiles(), 0x015);
  WriteFileBytes(f.run + "/blocker", Bytes("mine"));
  const LimitedResult r = RunLimited({f.exe, "-s", "blocker\\out"}, f.run, 30, 256);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(StubErrorNumber(r.err), 0) << r.err;
  EXPECT_NE(r.err.find("could not be opened"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(f.run + "/blocker"), Bytes("mine"));
  RemoveTree(f.root);
}

TEST(OutputFaults, ReadOnlyTargets) {
  struct Row {
    const char* name;
    std::vector<std::string> switches;
    uid_t user;
    bool replaced;  // the stored bytes took the old file's place
    int error;
  };
  const Row rows[] = {
      // Overwrite-all clears the read-only attribute first, as on Windows.
      {"overwrite all, own file", {"-s", "-o"}, 0, true, -1},
      // The question gets no answer (end of input): the file is kept.
      {"asked, no answer", {"-s"}, 0, false, -1},
      // Another user's read-only file in a folder the stub cannot write.
      {"overwrite all, someone else's file", {"-s", "-o"}, kNobody, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.user != 0 && getuid() != 0) {
      std::printf("skipped '%s': needs root to run the stub as another user\n", row.name);
      continue;
    }
    Fixture f = Make("fault-readonly", TwoFiles(), 0x014);
    const std::string out = f.run + "/out";
    mkdir(out.c_str(), 0755);  // owned by the test: only it may write here
    WriteFileBytes(out + "/a.txt", Bytes("precious"));
    chmod((out + "/a.txt").c_str(), 0444);
    std::vector<std::string> argv = {f.exe};
    argv.insert(argv.end(), row.switches.begin(), row.switches.end());
    argv.push_back("out");
    const LimitedResult r = RunLimited(argv, f.run, 30, 256, row.user);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(StubErrorNumber(r.err), row.error) << r.err;
    EXPECT_EQ(ReadFileBytes(out + "/a.txt"), row.replaced ? f.files[0].data : Bytes("precious"));
    RemoveTree(f.root);
  }
}

// A 64 KiB file system receives 300 KB: writes fail part-way. The stub does
// not check its writes, so it ends normally; a file that was there before
// must survive, and the run must end cleanly.
TEST(OutputFaults, DiskFillsUpDuringExtraction) {
  Fixture f = Make("fault-full",
                   {{"big1.bin", RandomBytes(150000, 3), 1000000000u, 0x20},
                    {"big2.bin", RandomBytes(150000, 4), 1000000000u, 0x20}},
                   0x015);
  const std::string disk = f.run + "/disk";
  mkdir(disk.c_str(), 0777);
  if (mount("dolmtest", disk.c_str(), "tmpfs", 0, "size=64k,mode=0777") != 0) {
    std::printf("skipped: cannot mount a small tmpfs here (%s)\n", std::strerror(errno));
    RemoveTree(f.root);
    GTEST_SKIP();
  }
  WriteFileBytes(disk + "/keep.txt", Bytes("was here before"));
  const LimitedResult r = RunLimited({f.exe, "-s", "-o", "disk"}, f.run, 30, 256);
  struct stat st1 = {}, st2 = {};
  stat((disk + "/big1.bin").c_str(), &st1);
  stat((disk + "/big2.bin").c_str(), &st2);
  std::printf("disk full: exit %d, signal %d, message '%s', big1.bin %lld of 150000 bytes, "
              "big2.bin %lld of 150000 bytes\n", r.exitCode, r.signal, r.err.c_str(),
              static_cast<long long>(st1.st_size), static_cast<long long>(st2.st_size));
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(ReadFileBytes(disk + "/keep.txt"), Bytes("was here before"));
  // The files cannot be whole on a disk this small.
  EXPECT_LT(st1.st_size + st2.st_size, 300000);
  umount2(disk.c_str(), MNT_DETACH);
  RemoveTree(f.root);
}

// The execute file leaves a process behind that holds an extracted file
// open; the clean-up then runs. On Linux an open file can be deleted, so
// the removal takes it; a file that this run did not write stays.
TEST(OutputFaults, FileHeldOpenDuringCleanUp) {
  const std::string script = "#!/bin/sh\n(exec 3<held.txt; sleep 3) >/dev/null 2>&1 &\nsleep 0.3\n";
  Fixture f = Make("fault-open",
                   {{"setup.exe", Bytes(script), 1000000000u, 0x20},
                    {"held.txt", TextLikeBytes(2000, 5), 1000000000u, 0x20}},
                   0x055, "\"[setup.exe]\"");
  const std::string out = f.run + "/out";
  mkdir(out.c_str(), 0755);
  WriteFileBytes(out + "/mine.txt", Bytes("not from the archive"));
  // The folder is given absolute, in the stub's own form.
  std::string folder = out;
  for (char& c : folder)
    if (c == '/') c = '\\';
  const LimitedResult r = RunLimited({f.exe, "-s", folder}, f.run, 30, 256);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  std::vector<std::string> left = FolderEntries(out);
  EXPECT_EQ(left, std::vector<std::string>{"mine.txt"});
  EXPECT_EQ(ReadFileBytes(out + "/mine.txt"), Bytes("not from the archive"));
  if (HasFailure()) std::printf("kept for inspection: %s\n", f.root.c_str());
  else RemoveTree(f.root);
}

}  // namespace
