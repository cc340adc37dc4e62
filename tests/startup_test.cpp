// Start-up: the own path and argument text, the command-line parser, the
// switches' effect on the option word, and the stored option texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/format.h"
#include "platform/platform_posix.h"
#include "startup/startup.h"

namespace {

struct Parsed {
  std::string switches;
  std::vector<std::string> arguments;
};

Parsed Parse(const char* text) {
  CommandLineParser parser;
  BuildCommandLineParser(&parser, text);
  Parsed out;
  for (char c; (c = NextSwitch(&parser)) != 0;) out.switches += c;
  while (const char* a = NextArgument(&parser)) out.arguments.push_back(a);
  EXPECT_TRUE(NextSwitch(&parser) == 0 && NextArgument(&parser) == nullptr);  // both stay at the end
  DestroyCommandLineParser(&parser);
  return out;
}

void Reset(uint32_t word, const char* tempFolder = "stored") {
  std::memset(&gContainer, 0, sizeof gContainer);
  std::memset(&gStartup, 0, sizeof gStartup);
  gContainer.options.optionWord = word;
  std::strcpy(gStartup.tempFolder, tempFolder);
  std::strcpy(gContainer.execFile, "setup.exe");
}

}  // namespace

TEST(OwnPath, FromQuotedAndUnquotedCommandLines) {
  struct Case { const char* commandLine; const char* ownPath; const char* argText; } cases[] = {
      {"\"C:\\dir with blanks\\pack.exe\"", "C:\\dir with blanks\\pack.exe", ""},
      {"\"C:\\x\\pack.exe\" -s \"D:\\out\"", "C:\\x\\pack.exe", "-s \"D:\\out\""},
      {"\"C:\\x\\pack.exe\"   \t -s ", "C:\\x\\pack.exe", "-s "},
      {"pack.exe -s", "pack.exe ", "-s"},
      {"pack.exe", "pack.exe", ""},
      {"C:\\s\\pack.exe s", "C:\\s\\pack.exe ", "s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    const char* argText = PosixArgumentText(c.commandLine);
    EXPECT_STREQ(argText, c.argText);
    TakeOwnPath(c.commandLine, argText);
    EXPECT_STREQ(gStartup.ownPath, c.ownPath);
    EXPECT_STREQ(gStartup.commandLine, c.commandLine);
  }
  // A command line beyond 519 characters is cut in the copy and the own path.
  std::string longName(700, 'p'), commandLine = longName + " -s";
  TakeOwnPath(commandLine.c_str(), PosixArgumentText(commandLine.c_str()));
  EXPECT_EQ(std::string(gStartup.ownPath), longName.substr(0, 519));
  EXPECT_EQ(std::strlen(gStartup.commandLine), 519u);
}

TEST(CommandLineParser, SplitsSwitchesAndArguments) {
  struct Case { const char* text; Parsed expected; } cases[] = {
      {nullptr, {"", {}}},
      {"", {"", {}}},
      {"-sq", {"s", {"q"}}},
      {"-s-q", {"sq", {}}},
      {"-s /q", {"sq", {}}},
      {"-s -o D:\\out", {"so", {"D:\\out"}}},
      {"C:/temp a-b", {"", {"C:/temp", "a-b"}}},
      {"abc\"d e\"", {"", {"d e"}}},
      {"\"abc\"def", {"", {"abc", "def"}}},
      {"\"D:\\my files\" E:\\other", {"", {"D:\\my files", "E:\\other"}}},
      {"a\tb  c", {"", {"a\tb", "c"}}},
      {"\"\"", {"", {""}}},
      {"\"open -x", {"", {"open -x"}}},
      {"\"-a\" -", {"", {"-a"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(none)");
    Parsed got = Parse(c.text);
    EXPECT_EQ(got.switches, c.expected.switches);
    EXPECT_EQ(got.arguments, c.expected.arguments);
  }
}

TEST(CommandLineParser, KeepsAtMost259OfEach) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "-x arg" + std::to_string(i) + " ";
  Parsed got = Parse(text.c_str());
  EXPECT_EQ(got.switches, std::string(259, 'x'));
  ASSERT_EQ(got.arguments.size(), 259u);
  EXPECT_EQ(got.arguments.back(), "arg258");
}

TEST(Switches, ChangeTheOptionWordAndTheFolder) {
  struct Case { uint32_t word; const char* text; uint32_t wantWord; const char* wantFolder; };
  const Case cases[] = {
      {0x115, "", 0x115, "stored"},
      {0x115, "/S /P", 0x115, "stored"},
      {0x115, "-P -s", 0x015, "stored"},
      {0x00011500, "-o -k", 0x00011505, "stored"},
      {0x00011500, "-r -d -q", 0x00011450, "stored"},
      {0xC0, "-D", 0x40, "stored"},
      {0xFFF, "-o -k -r -d -p -i -x -Z", 0x555, "stored"},
      {0, "-s -o D:\\out", 0x001, "D:\\out"},
      {0x100, "-sq", 0x000, "q"},
      {0, "\"\"", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Reset(c.word);
    ApplySwitches(c.text);
    EXPECT_EQ(gContainer.options.optionWord, c.wantWord);
    EXPECT_STREQ(gStartup.tempFolder, c.wantFolder);
  }
}

TEST(SwitchesDeathTest, ReportAndOverlongFolder) {
  Reset(0x115, "");
  EXPECT_EXIT(ApplySwitches("-a"), testing::ExitedWithCode(0),
              "^About Ostrel Self-Extractor File\nOverWriteExistingFiles = 1\nKeepOriginalFileAttrib  = 1\n"
              "PromptUserForOptions = 1\nRecreateOriginalFolders = 1\nDeleteSFXwhenDone = 0\nSilentExtraction = 0\n"
              "Temporary Directory  = \nExecute file = setup.exe\n\n$");
  Reset(0x1C0);  // the report shows the fields after the other switches
  EXPECT_EXIT(ApplySwitches("-a -s -i T:\\x"), testing::ExitedWithCode(0),
              "PromptUserForOptions = 0\n.*DeleteSFXwhenDone = 3\nSilentExtraction = 1\n"
              "Temporary Directory  = T:\\\\x\n");

  // A folder argument too long for its buffer is refused and never cut.
  Reset(0x400);
  ApplySwitches(std::string(300, 'f').c_str());
  EXPECT_STREQ(gStartup.tempFolder, "stored");
}

TEST(StoredTexts, ExecuteTextSplit) {
  struct Case { std::string text; const char* file; const char* args; } cases[] = {
      {"\"[setup.exe]\"", "setup.exe", ""},
      {"\"[tools\\setup.exe]/q /r\"", "tools\\setup.exe", "/q /r"},
      {"\"[setup.exe] -x\"", "setup.exe", " -x"},
      {std::string("\"[a\0b]c\0d\"", 10), "ab", "cd"},
      {"\"[setup.exe\"", "setup.exe", ""},
      {"\"[setup.exe] -x", "setup.exe", " -x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char file[528] = {}, args[520] = {};
    SplitExecuteText(c.text.data(), static_cast<uint32_t>(c.text.size()), file, args);
    EXPECT_STREQ(file, c.file);
    EXPECT_STREQ(args, c.args);
  }
  // Longer parts are cut at the buffers' ends, never past them.
  std::string huge = "\"[" + std::string(770, 'f') + "]\"";
  char file[529] = {}, args[520] = {};
  file[528] = 'X';
  SplitExecuteText(huge.data(), static_cast<uint32_t>(huge.size()), file, args);
  EXPECT_TRUE(std::strlen(file) == 527 && file[528] == 'X');
}

TEST(StoredTexts, TemporaryFolderMarkerRule) {
  const std::string marker = DOLM_TEMP_MARKER;
  struct Case { std::string text; int result; std::string folder; } cases[] = {
      {"D:\\Out", 0, "D:\\Out"},
      {"C:\\TEMP\\" + marker, 0, "C:\\TEMP\\"},
      {marker + "rest", 0, ""},
      {"C:\\A\\" + marker + "B\\" + marker, 0, "C:\\A\\"},
      {std::string("D:\\A\0junk", 9), 0, "D:\\A"},
      {std::string(259, 'a'), 0, std::string(259, 'a')},
      {std::string(260, 'a'), 1, ""},
      {std::string(250, 'a') + marker + std::string(100, 'b'), 0, std::string(250, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Reset(0, "old");
    EXPECT_EQ(ApplyTempFolderText(c.text.data(), static_cast<uint32_t>(c.text.size())), c.result);
    EXPECT_EQ(std::string(gStartup.tempFolder), c.folder);
  }
}
