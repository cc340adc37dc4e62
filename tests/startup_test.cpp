// Start-up: the own path, the command-line parser, the switches, the stored
// option texts and the error texts. Whole runs of the Linux stub are in
// extract_e2e_test and launch_test.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "container/format.h"
#include "platform/platform_posix.h"
#include "startup/startup.h"

namespace {

using Texts = std::vector<std::string>;

TEST(OwnPath, FromQuotedAndUnquotedCommandLines) {
  struct Case { std::string commandLine, ownPath, argText; } cases[] = {
      {"\"C:\\dir with blanks\\pack.exe\"", "C:\\dir with blanks\\pack.exe", ""}, {"pack.exe", "pack.exe", ""},
      {"\"C:\\x\\pack.exe\" -s \"D:\\out\"", "C:\\x\\pack.exe", "-s \"D:\\out\""}, {"pack.exe -s", "pack.exe ", "-s"},
      {"\"C:\\x\\pack.exe\"   \t -s ", "C:\\x\\pack.exe", "-s "}, {"C:\\s\\pack.exe s", "C:\\s\\pack.exe ", "s"},
      {std::string(700, 'p') + " -s", std::string(519, 'p'), "-s"},  // cut to 519 characters
  };
  auto run = std::make_unique<StubRun>();
  for (const Case& c : cases) {
    const char* argText = PosixArgumentText(c.commandLine.c_str());
    TakeOwnPath(run.get(), c.commandLine.c_str(), argText);
    EXPECT_TRUE(argText == c.argText && run->ownPath == c.ownPath && run->commandLine == c.commandLine.substr(0, 519))
        << c.commandLine << ": " << run->ownPath;
  }
}

TEST(CommandLineParser, SplitsSwitchesAndArguments) {
  std::string many;  // each list keeps 259 entries
  Texts kept;
  for (int i = 0; i < 300; ++i) many += "-x arg" + std::to_string(i) + " ";
  for (int i = 0; i < 259; ++i) kept.push_back("arg" + std::to_string(i));
  struct Case { const char* text; std::string switches; Texts arguments; } cases[] = {
      {nullptr, "", {}}, {"", "", {}}, {"-sq", "s", {"q"}}, {"-s-q", "sq", {}}, {"-s /q", "sq", {}},
      {"-s -o D:\\out", "so", {"D:\\out"}}, {"C:/temp a-b", "", {"C:/temp", "a-b"}}, {"abc\"d e\"", "", {"d e"}},
      {"\"abc\"def", "", {"abc", "def"}}, {"\"D:\\my files\" E:\\other", "", {"D:\\my files", "E:\\other"}},
      {"a\tb  c", "", {"a\tb", "c"}}, {"\"\"", "", {""}}, {"\"open -x", "", {"open -x"}}, {"\"-a\" -", "", {"-a"}},
      {many.c_str(), std::string(259, 'x'), kept},
  };
  for (const Case& c : cases) {
    CommandLineParser parser;
    BuildCommandLineParser(&parser, c.text);
    std::string switches;
    Texts arguments;
    for (char s; (s = NextSwitch(&parser)) != 0;) switches += s;
    while (const char* a = NextArgument(&parser)) arguments.push_back(a);
    EXPECT_TRUE(NextSwitch(&parser) == 0 && NextArgument(&parser) == nullptr);  // both stay at the end
    DestroyCommandLineParser(&parser);
    EXPECT_TRUE(switches == c.switches && arguments == c.arguments) << (c.text ? std::string(c.text).substr(0, 40) : "");
  }
}

TEST(Switches, ChangeTheOptionWordAndTheFolder) {
  const std::string tooLong(300, 'f');  // refused with error 0, never cut
  struct Case { uint32_t word; std::string text; uint32_t wantWord; std::string wantFolder; } cases[] = {
      {0x115, "", 0x115, "stored"}, {0x115, "/S /P", 0x115, "stored"}, {0x115, "-P -s", 0x015, "stored"},
      {0x00011500, "-o -k", 0x00011505, "stored"}, {0x00011500, "-r -d -q", 0x00011450, "stored"},
      {0xC0, "-D", 0x40, "stored"}, {0xFFF, "-o -k -r -d -p -i -x -Z", 0x555, "stored"},
      {0, "-s -o D:\\out", 0x001, "D:\\out"}, {0x100, "-sq", 0x000, "q"}, {0, "\"\"", 0, ""},
      {0x1C0, "-a -s -i T:\\x", 0x4C0, "T:\\x"}, {0x400, tooLong, 0x400, "stored"},
  };
  for (const Case& c : cases) {
    auto run = std::make_unique<StubRun>();
    ClearFaults(&run->faults, true);
    run->options.record.optionWord = c.word;
    std::strcpy(run->tempFolder, "stored");
    bool report = false;
    const bool refused = c.text == tooLong;
    EXPECT_EQ(ApplySwitches(run.get(), c.text.c_str(), &report).error, refused ? kErrorCannotOpen : kNoError);
    EXPECT_TRUE(run->options.record.optionWord == c.wantWord && run->tempFolder == c.wantFolder) << c.text;
    EXPECT_TRUE(report == (c.text.find("-a") == 0) && run->faults.first.subject == (refused ? tooLong : ""));
  }
}

// The stored execute text '"[' file ']' arguments '"' and temporary folder.
TEST(StoredTexts, ExecuteTextAndTemporaryFolder) {
  const std::string huge = "\"[" + std::string(770, 'f') + "]" + std::string(600, 'a') + "\"";
  struct Split { std::string text, file, args; } splits[] = {
      {"\"[setup.exe]\"", "setup.exe", ""}, {"\"[tools\\setup.exe]/q /r\"", "tools\\setup.exe", "/q /r"},
      {"\"[setup.exe] -x\"", "setup.exe", " -x"}, {std::string("\"[a\0b]c\0d\"", 10), "ab", "cd"},
      {"\"[setup.exe\"", "setup.exe", ""}, {"\"[setup.exe] -x", "setup.exe", " -x"},
      {huge, std::string(527, 'f'), std::string(519, 'a')},  // cut at the buffers' ends
  };
  for (const Split& c : splits) {
    char file[529] = {}, args[521] = {};  // zeroed, as the option loader's buffers are
    file[528] = args[520] = 'X';
    SplitExecuteText(c.text.data(), static_cast<uint32_t>(c.text.size()), file, args);
    EXPECT_TRUE(file == c.file && args == c.args && file[528] == 'X' && args[520] == 'X') << c.text.substr(0, 40);
  }
  const std::string marker = DOLM_TEMP_MARKER, a250(250, 'a');
  struct Folder { std::string text; bool fits; std::string folder; } folders[] = {
      {"D:\\Out", true, "D:\\Out"}, {"C:\\TEMP\\" + marker, true, "C:\\TEMP\\"}, {marker + "rest", true, ""},
      {"C:\\A\\" + marker + "B\\" + marker, true, "C:\\A\\"}, {std::string("D:\\A\0junk", 9), true, "D:\\A"},
      {std::string(259, 'a'), true, std::string(259, 'a')}, {std::string(260, 'a'), false, ""},
      {a250 + marker + std::string(100, 'b'), true, a250},
  };
  for (const Folder& c : folders) {
    char folder[kPathSize] = "old";
    EXPECT_EQ(TakeTempFolderText(c.text.data(), static_cast<uint32_t>(c.text.size()), folder), c.fits);
    EXPECT_EQ(folder, c.folder) << c.text.substr(0, 40);
  }
}

TEST(Messages, ErrorTexts) {
  const std::string path60 = "C:\\" + std::string(57, 'p'), archive = "C:\\x\\pack.exe";  // longer paths: e2e
  struct Case { ErrorNumber code; std::string subject; int64_t offset; std::string text; } cases[] = {
      {kErrorCannotOpen, path60, -1, "Error #0\nThe file '" + path60 + "'  could not be opened !\n"
                                     " File does not exists, could not be created, or too many open files"},
      {kErrorNotArchive, "x", -1, "Error #1\nArchive '" + archive + "'  cannot be recognized as a valid DOLM format!"},
      {kErrorDamaged, "", -1, "Error #2\nArchive '" + archive + "' is damaged"},
      {kErrorProtected, "", -1, "Error #15\nRecovery record found ! Archive '" + archive + "' is already protected !"},
      {kErrorMarker, "", 1234, "Error #21\nThe ULEB marker was not found at location 1234"},
      {kStopCancelled, "x", -1, ""}, {kNoError, "x", -1, ""},
  };
  char text[520];
  for (const Case& c : cases) {
    Fault fault{c.code, 0, c.offset, {}, {}};
    std::snprintf(fault.subject, sizeof fault.subject, "%s", c.subject.c_str());
    FormatErrorText(fault, archive.c_str(), text, sizeof text);
    EXPECT_EQ(text, c.text) << "code " << c.code;
  }
  for (int code = 0; code <= kLastErrorNumber; ++code) {  // every numbered error shows its own number
    FormatErrorText(Fault{static_cast<ErrorNumber>(code), 0, -1, {}, {}}, "a", text, sizeof text);
    EXPECT_EQ(std::string(text).rfind("Error #" + std::to_string(code) + "\n", 0), 0u) << text;
  }
}

}  // namespace
