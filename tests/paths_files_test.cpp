// Target paths, folder creation, opening files with the overwrite question,
// stored times and attributes, and the record of written paths.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "container/container.h"
#include "container/format.h"
#include "output/output.h"
#include "support/test_support.h"
#include "startup/startup.h"

namespace {

const uint32_t kRecreate = 1u << kRecreateOriginalFolders;
const uint32_t kKeep = 1u << kKeepOriginalFileAttrib;
const uint32_t kIgnore = 1u << kIgnoreErrors;

void SetRun(const std::string& tempFolder, uint32_t optionWord) {
  snprintf(gStartup.tempFolder, sizeof gStartup.tempFolder, "%s", tempFolder.c_str());
  gContainer.options.optionWord = optionWord;
  gOverwriteAll = static_cast<uint8_t>(OptionField(optionWord, kOverWriteExistingFiles));
  gExpand.outputFile = nullptr;
  ForgetWrittenPaths();
}

std::string Cwd() {
  char current[260];
  return getcwd(current, sizeof current) ? current : "";
}

// Answers the overwrite questions of this process from `answers`.
void FeedStdin(const std::string& dir, const std::string& answers) {
  WriteText(dir + "/answers.txt", answers);
  ASSERT_NE(freopen((dir + "/answers.txt").c_str(), "r", stdin), nullptr);
}

// Opens a stored name as the expansion does and writes `text` into it.
int ExtractText(const char* storedName, const std::string& text, uint32_t index = 0) {
  gExpand.writeFlag = 1;
  int result = OpenTarget(storedName);
  if (gExpand.writeFlag && gExpand.outputFile) {
    fwrite(text.data(), 1, text.size(), gExpand.outputFile);
    FinishFile(gExpand.outputFile, index, 1);
  }
  return result;
}

TEST(TargetPath, StoredNamesMapBelowTheTemporaryFolder) {
  const char* marked = "X\\Y\\TemporaryPathForDOLM\\Files\\Setup.exe";
  const std::string cwd = Cwd() + "\\a.txt";
  struct Case { const char* temp; uint32_t word; const char* stored; const char* expected; } cases[] = {
      {"C:\\TEMP\\", 0, marked, "C:\\TEMP\\Setup.exe"},
      {"C:\\TEMP\\", kRecreate, marked, "C:\\TEMP\\Files\\Setup.exe"},
      {"C:\\TEMP\\", kRecreate, "Files\\Setup.exe", "C:\\TEMP\\Files\\Setup.exe"},
      {"C:\\TEMP\\", 0, "Files\\Setup.exe", "C:\\TEMP\\Setup.exe"},
      {"C:\\TEMP\\", 0, "D:readme.txt", "C:\\TEMP\\readme.txt"},
      {"C:\\TEMP\\", 0, "a/b/c.txt", "C:\\TEMP\\c.txt"},
      {"D:\\out", 0, "a.txt", "D:\\out\\a.txt"},
      {"C:\\TEMP\\", kRecreate, "A\\TemporaryPathForDOLM\\B\\TemporaryPathForDOLM\\c.txt",
       "C:\\TEMP\\B\\TemporaryPathForDOLM\\c.txt"},
      {"C:\\TEMP\\", kRecreate, "temporarypathfordolm\\x.txt", "C:\\TEMP\\temporarypathfordolm\\x.txt"},
      {"C:\\TEMP\\", kRecreate, "\\abs\\x.txt", "C:\\TEMP\\\\abs\\x.txt"},
      {"", 0, "dir\\a.txt", cwd.c_str()},  // no folder: the current one
  };
  for (const Case& c : cases) {
    SetRun(c.temp, c.word);
    char target[260];
    EXPECT_EQ(TargetPathFor(c.stored, target), 0) << c.stored;
    EXPECT_STREQ(target, c.expected) << c.temp << " + " << c.stored;
  }
}

TEST(TargetPath, PathsBeyond259CharactersAreRefused) {
  SetRun("C:\\" + std::string(246, 'f') + "\\", 0);  // 250 characters
  char target[260];
  EXPECT_EQ(TargetPathFor("123456789", target), 0);  // exactly 259
  EXPECT_EQ(strlen(target), 259u);
  EXPECT_EQ(TargetPathFor("1234567890", target), 1);
  SetRun(std::string(259, 'd'), 0);  // the separator alone would not fit
  EXPECT_EQ(TargetPathFor("a", target), 1);
}

TEST(Folders, EveryMissingLevelIsCreatedAndRecorded) {
  std::string base = MakeTempDir("mkfolders");
  SetRun(base + "/", 0);
  mkdir((base + "/a").c_str(), 0755);  // existed before: not recorded
  MakeFolders((base + "\\a\\b/c\\d\\e\\").c_str());
  std::string path = base;
  for (const char* level : {"a", "b", "c", "d", "e"}) {
    path += std::string("/") + level;
    EXPECT_TRUE(PathExists(path) && IsWrittenPath(path.c_str()) == (*level != 'a')) << path;
  }
  MakeFolders((base + "\\a\\b\\tail-not-created").c_str());
  EXPECT_EQ(WrittenPathCount(), 4u);
}

TEST(WrittenRecord, PathsCompareInNormalisedForm) {
  SetRun("", 0);
  RecordWrittenPath("/r/a/b/../c/./d//e.txt");
  RecordWrittenPath("/r/z/Mixed");
  RecordWrittenPath("rel\\f.txt");
  const std::string relative = Cwd() + "/rel/f.txt";
  const struct { const char* path; bool written, below; } cases[] = {
      {"\\r\\a\\c\\d\\e.txt", true, false}, {"/r/a/c/d/e.txt/", true, false},
      {"/r/a/c/d/E.txt", false, false},  // POSIX names keep their case
      {"/r/z/mixed", false, false},         {"/r/a/c/d", false, true},
      {"/r", false, true},                  {"/r/a/cd", false, false},
      {"/r/a/b", false, false},             {relative.c_str(), true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsWrittenPath(c.path), c.written) << c.path;
    EXPECT_EQ(HasWrittenPathBelow(c.path), c.below) << c.path;
  }
  ForgetWrittenPaths();
  EXPECT_FALSE(IsWrittenPath("/r/z/Mixed"));
}

class OpenTargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempDir("open");
    SetRun(dir + "/", kRecreate);
  }
  std::string dir;
};

TEST_F(OpenTargetTest, AnswersDecideWhichExistingFilesAreReplaced) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) WriteText(dir + "/" + name, "old");
  chmod((dir + "/d.txt").c_str(), 0444);
  // Cancel ends the process with exit code 1 and leaves the file.
  EXPECT_EXIT((FeedStdin(dir, "c\n"), ExtractText("c.txt", "new")), ::testing::ExitedWithCode(1), "Overwrite");
  // Missing files and, after "a", d.txt must not be asked about: a shifted
  // answer or the end of input would change the outcome.
  FeedStdin(dir, "n\ny\na\n");
  EXPECT_EQ(ExtractText("fresh.txt", "new"), 1);
  EXPECT_EQ(ExtractText("a.txt", "new"), 0);
  EXPECT_TRUE(gExpand.writeFlag == 0 && gExpand.outputFile == nullptr);
  EXPECT_EQ(ExtractText("b.txt", "new"), 1);
  EXPECT_EQ(gOverwriteAll, 0);
  EXPECT_EQ(ExtractText("c.txt", "new"), 1);
  EXPECT_EQ(gOverwriteAll, 1);
  EXPECT_EQ(ExtractText("d.txt", "new"), 1);
  EXPECT_EQ(ExtractText("sub\\e.txt", "new"), 1);
  EXPECT_EQ(ReadText(dir + "/a.txt"), "old");
  for (const char* name : {"fresh.txt", "b.txt", "c.txt", "d.txt", "sub/e.txt"})
    EXPECT_EQ(ReadText(dir + "/" + name), "new") << name;
  EXPECT_FALSE(IsWrittenPath((dir + "/a.txt").c_str()));
  EXPECT_EQ(WrittenPathCount(), 6u);  // fresh, b, c, d, sub, sub/e
}

TEST_F(OpenTargetTest, UnopenableTargetsAreReportedAndSkipped) {
  WriteText(dir + "/blocker", "a file where a folder is needed");
  for (const std::string& temp : {dir + "/", dir + "/" + std::string(250, 'n')}) {
    SetRun(temp, kRecreate | kIgnore);
    EXPECT_EQ(ExtractText("blocker\\x.txt", "x"), 1) << temp;
    EXPECT_TRUE(gExpand.writeFlag == 0 && gExpand.outputFile == nullptr && WrittenPathCount() == 0) << temp;
  }
}

TEST_F(OpenTargetTest, FinishFileAppliesStoredTimeAndAttributes) {
  FileTable saved = gFiles;
  FileRecord records[3] = {};
  gFiles = FileTable{records, 3, 3};
  const uint8_t attributes[3] = {0x21, 0xA1, 0x80};
  for (uint32_t i = 0; i < 3; ++i) {
    records[i].time = 946684800;
    records[i].attributes = attributes[i];
    snprintf(records[i].name, sizeof records[i].name, "sub\\f%u.txt", i);
  }
  auto statOf = [&](uint32_t i) {
    struct stat st = {};
    EXPECT_EQ(stat((dir + "/sub/f" + std::to_string(i) + ".txt").c_str(), &st), 0) << i;
    return st;
  };
  SetRun(dir + "/", kRecreate | kKeep);
  for (uint32_t i = 0; i < 3; ++i) ExtractText(records[i].name, "data", i);
  EXPECT_EQ(statOf(0).st_atime, 946684800);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(statOf(i).st_mtime, 946684800) << i;
  EXPECT_EQ(statOf(0).st_mode & 0222, 0u);
  EXPECT_EQ(statOf(1).st_mode & 0222, 0u);  // bit 7 is dropped, read-only stays
  EXPECT_NE(statOf(2).st_mode & 0200, 0u);  // 0x80 alone means normal
  // Replacing and finishing the file again works although it is read-only now.
  gOverwriteAll = 1;
  records[0].time = 1000000000;
  ExtractText(records[0].name, "data", 0);
  EXPECT_EQ(statOf(0).st_mtime, 1000000000);
  gFiles = saved;
}

}  // namespace
