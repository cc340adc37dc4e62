// End to end: archives built by the packer, appended to the Linux stub and
// run: the files with their times and attributes, the overwrite question, the
// error boxes ("<caption>\n<text>\n\n" on standard error) and failed writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "container/format.h"
#include "packer/packer.h"
#include "support/test_support.h"

namespace {

using packer::PackFile;
const std::string kBox = " DOLM Self Extractor Error \n";
const uint32_t kOverwrite = 1u << kOverWriteExistingFiles;

// A Linux self-extractor of `files` with the option word, in a fresh folder.
std::string Sfx(const std::vector<PackFile>& files, uint32_t word, const std::string& exec = "", int profile = 0) {
  packer::StoredOptions options;
  options.optionWord = word;
  options.executeText = packer::MakeExecuteText(exec, "");
  const std::string path = MakeTempDir("e2e-stub") + "/setup";
  EXPECT_TRUE(WriteProgram(path, LinuxStubWith(files, options, profile)));
  return path;
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

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
    const std::string sfx = Sfx(files, kOverwrite, "", profile), out = MakeTempDir("e2e-out");
    for (bool keep : {false, true, true}) {
      RunResult r = keep ? RunProgram({sfx, "-s", "-k", "-r", out}) : RunProgram({sfx, "-s", out});
      ASSERT_TRUE(r.exitCode == 0 && r.err.empty()) << r.err;
      for (const PackFile& f : files) {
        // Below the marker with folders, else the bare name.
        std::string path = out + "/" + f.name.substr(keep ? dir.size() : f.name.rfind('\\') + 1);
        std::replace(path.begin(), path.end(), '\\', '/');
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(ReadFileBytes(path) == f.data && (st.st_mtime == static_cast<time_t>(f.time)) == keep &&
                    ((st.st_mode & S_IWUSR) == 0) == (keep && (f.attributes & 1) != 0))
            << "profile " << profile << " " << path;
      }
    }
  }
  // Without a stored or given folder the files go to the system's temporary folder.
  const std::string temp = MakeTempDir("e2e-tmpdir");
  setenv("TMPDIR", temp.c_str(), 1);
  EXPECT_EQ(RunProgram({Sfx(files, 0), "-s"}).exitCode, 0);
  unsetenv("TMPDIR");
  EXPECT_EQ(ReadFileBytes(temp + "/setup.ini"), files[0].data);
}

// Existing files are asked about, with the target shortened to 70
// characters: unknown or over-long answers are asked again, "a" ends the
// questions, the end of input answers No, Cancel ends the run with exit code 1.
TEST(ExtractEndToEnd, OverwriteQuestionAnswers) {
  std::vector<PackFile> files;
  for (const char* name : {"a.txt", "b.txt", "fresh.txt", "c.txt", "d.txt"}) files.push_back({name, Bytes("new"), 0, 0x20});
  const std::string sfx = Sfx(files, 0), out = MakeTempDir("e2e-ask") + "/" + std::string(80, 'f');
  mkdir(out.c_str(), 0755);
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) WriteText(out + "/" + name, "old");
  chmod((out + "/c.txt").c_str(), 0444);
  struct Run { std::string answers; int exitCode, questions; const char* after; } runs[] = {
      {"c\n", 1, 1, "old old - old old "},
      {"maybe\nN\r\n" + std::string(400, 'c') + "\n y \n  a \n", 0, 5, "old new new new new "},
      {"", 0, 5, "old new new new new "},
  };
  for (const Run& run : runs) {
    RunResult r = RunProgram({sfx, "-s", out}, run.answers);
    size_t questions = 0;
    for (size_t at = 0; (at = r.err.find("Overwrite file\n", at)) != std::string::npos; ++at) ++questions;
    EXPECT_TRUE(r.exitCode == run.exitCode && questions == static_cast<size_t>(run.questions)) << r.err;
    const std::string target = out + "\\a.txt";
    EXPECT_TRUE(Contains(r.err, "Overwrite file\n.." + target.substr(target.size() - 68) + "\n")) << r.err;
    std::string after;
    for (const PackFile& f : files) after += (PathExists(out + "/" + f.name) ? ReadText(out + "/" + f.name) : "-") + " ";
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
  const std::vector<PackFile> files = {{"go.sh", Bytes("#!/bin/sh\n: > started\n"), 0, 0x20},
                                       {std::string(70, 'b') + "\\x.txt", Bytes("x"), 0, 0x20},
                                       {"big.bin", TextLikeBytes(3 << 20, 5), 0, 0x20},
                                       {"after.txt", Bytes("after"), 0, 0x20}};
  const std::string sfx = Sfx(files, kOverwrite | 1u << kRecreateOriginalFolders, "go.sh");
  const std::string x = blocked + "\\x.txt", limited = temp + "/limited";
  mkdir(limited.c_str(), 0755);
  struct Case { std::vector<std::string> args; long fileLimit; std::string err; } cases[] = {
      {{bare, temp}, 0, kBox + "Error #22\nCannot find options located in the second entry, unexpected error.\n"
                               "Unable to locate Tarvex Options.\n\n"},
      {{sfx, "-a", "D:\\x"}, 0, "About Ostrel Self-Extractor File\nOverWriteExistingFiles = 1\nKeepOriginalFileAttrib  = 0\n"
                                "PromptUserForOptions = 0\nRecreateOriginalFolders = 1\nDeleteSFXwhenDone = 0\n"
                                "SilentExtraction = 1\nTemporary Directory  = D:\\x\nExecute file = go.sh\n\n"},
      {{sfx, temp}, 0, kBox + "Error #0\nThe file '.." + x.substr(x.size() - 58) + "'  could not be opened !\n"
                              " File does not exists, could not be created, or too many open files\n\n"},
      {{sfx, "-i", limited}, 1 << 20, ""},
      {{sfx, "-o", limited}, 1 << 20, kBox + "Error #3\nInconsistent data crc, data write failed !\n\n"},
  };
  for (const Case& c : cases) {
    const std::string folder = c.args.back();
    RemoveTree(folder + "/started");
    RemoveTree(folder + "/after.txt");
    RunOptions options;
    options.fileLimitBytes = c.fileLimit;
    RunResult r = RunProgram(c.args, options);
    EXPECT_TRUE(r.exitCode == 0 && r.err == c.err) << r.err;
    const bool goesOn = c.args[1] == "-i";  // after the failure, and starts the execute file
    EXPECT_TRUE(PathExists(folder + "/started") == goesOn && PathExists(folder + "/after.txt") == goesOn) << r.err;
  }
}

}  // namespace
