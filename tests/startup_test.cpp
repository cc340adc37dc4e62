// Start-up: the own path, the Windows command-line parser and the Linux
// argument parser, the switches, the stored option texts, the error texts,
// and the launch's command line split by the Windows rules. Whole runs of the
// Linux stub are in stub_run_test.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "format/format.h"
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
    TakeOwnPath(run.get(), c.commandLine.c_str(), c.argText.c_str());
    EXPECT_EQ(std::tuple(std::string(run->ownPath), std::string(run->commandLine)),
              std::tuple(c.ownPath, c.commandLine.substr(0, 519))) << c.commandLine;
  }
}

TEST(CommandLineParser, SplitsSwitchesAndArguments) {
  struct Case { const char* text; std::string switches; Texts arguments; } cases[] = {
      {nullptr, "", {}}, {"", "", {}}, {"-sq", "s", {"q"}}, {"-s-q", "sq", {}}, {"-s /q", "sq", {}},
      {"-s -o D:\\out", "so", {"D:\\out"}}, {"C:/temp a-b", "", {"C:/temp", "a-b"}}, {"abc\"d e\"", "", {"d e"}},
      {"\"abc\"def", "", {"abc", "def"}}, {"\"D:\\my files\" E:\\other", "", {"D:\\my files", "E:\\other"}},
      {"a\tb  c", "", {"a\tb", "c"}}, {"\"\"", "", {""}}, {"\"open -x", "", {"open -x"}}, {"\"-a\" -", "", {"-a"}},
  };
  for (const Case& c : cases) {
    CommandLineParser parser;
    BuildCommandLineParser(&parser, c.text);
    std::string switches;
    Texts arguments;
    for (char s; (s = NextSwitch(&parser)) != 0;) switches += s;
    while (const char* a = NextArgument(&parser)) arguments.push_back(a);
    EXPECT_EQ(NextSwitch(&parser), 0);  // both stay at the end
    EXPECT_EQ(NextArgument(&parser), nullptr);
    DestroyCommandLineParser(&parser);
    EXPECT_EQ(std::tuple(switches, arguments), std::tuple(c.switches, c.arguments)) << (c.text ? c.text : "(none)");
  }
}

TEST(Switches, ChangeTheOptionWordAndTheFolder) {
  const std::string tooLong(300, 'f');  // refused with error 0, never cut
  // Words in hex, as the switches change them bit by bit: two bits per field from bit 0 (overwrite, keep attributes,
  // recreate folders, delete when done, prompt, ignore errors), and bits above the fields that stay as they are.
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
    CommandLineParser parser;
    RunRequest request;
    ReadArgumentText(c.text.c_str(), "", &parser, &request);
    EXPECT_EQ(ApplySwitches(run.get(), request, &report).error, refused ? kErrorCannotOpen : kNoError);
    DestroyCommandLineParser(&parser);
    EXPECT_EQ(run->options.record.optionWord, c.wantWord) << c.text;
    EXPECT_EQ(run->tempFolder, c.wantFolder) << c.text;
    EXPECT_EQ(report, c.text.find("-a") == 0) << c.text;
    EXPECT_EQ(run->faults.first.subject, refused ? tooLong : "") << c.text;
  }
}

// "/accept" is a word of its own only in an archive with the extension record;
// in any other it gives the letter and the folder it always gave.
TEST(Switches, AcceptWordOnlyWithTheRecord) {
  struct Case { bool record; const char* text; bool accepted; bool report; const char* folder; uint32_t word; } cases[] = {
      {true, "/accept", true, false, "stored", 0x100}, {true, "-S --ACCEPT D:\\x", true, false, "D:\\x", 0},
      {true, "/accepted", false, true, "ccepted", 0x100}, {false, "/accept", false, true, "ccept", 0x100},
  };
  for (const Case& c : cases) {
    auto run = std::make_unique<StubRun>();
    run->options.extension.present = c.record;
    run->options.record.optionWord = 0x100;
    std::strcpy(run->tempFolder, "stored");
    bool report = false;
    CommandLineParser parser;
    RunRequest request;
    ReadArgumentText(c.text, "", &parser, &request);
    EXPECT_TRUE(ApplySwitches(run.get(), request, &report).ok());
    DestroyCommandLineParser(&parser);
    EXPECT_EQ(std::tuple(run->licenceAccepted, report, std::string(run->tempFolder), run->options.record.optionWord),
              std::tuple(c.accepted, c.report, std::string(c.folder), c.word)) << c.text;
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
    EXPECT_EQ(std::tuple(std::string(file), std::string(args), file[528], args[520]),
              std::tuple(c.file, c.args, 'X', 'X')) << c.text.substr(0, 40);
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

Texts Split(const std::string& line) {
  std::vector<char> storage(2 * line.size() + 2);
  std::vector<char*> argv(line.size() / 2 + 2);
  int argc = PosixSplitCommandLine(line.c_str(), storage.data(), argv.data());
  EXPECT_EQ(argv[static_cast<size_t>(argc)], nullptr);
  return Texts(argv.begin(), argv.begin() + argc);
}

TEST(PosixCommandLine, LaunchLinesSplitByTheWindowsRules) {
  const struct { const char* line; Texts args; } splits[] = {
      {"\"/x/pack\" -s \"D:\\my files\" \"\"", {"/x/pack", "-s", "D:\\my files", ""}},
      {"\"p\" /s /sq \"/tmp/out\"", {"p", "/s", "/sq", "/tmp/out"}},
      {"\"p\" a\\\"b \"c d\\\\\"", {"p", "a\"b", "c d\\"}}, {"\"/usr/bin/prog\"", {"/usr/bin/prog"}},
      {"\"C:\\a b\\p.exe\" x  y ", {"C:\\a b\\p.exe", "x", "y"}}, {"C:\\p\\q.exe\t\"a b\"c", {"C:\\p\\q.exe", "a bc"}},
      {"p a\\\\\"b c\"", {"p", "a\\b c"}}, {"p \"a\"\"b\" \"\"", {"p", "a\"b", ""}},
      {"\"\\x\\y\" \"unclosed arg", {"\\x\\y", "unclosed arg"}},
  };
  for (const auto& c : splits) EXPECT_EQ(Split(c.line), c.args) << c.line;
}

// The Linux entry's reading of argv: what it runs with, or why it refuses.
TEST(PosixArguments, GroupedSwitchesFoldersAndLongOptions) {
  const std::string q40 = "-" + std::string(40, 'q'), q40000 = "-" + std::string(40000, 'q');
  const std::string mixed = "-" + std::string(20000, 'p') + std::string(20000, 'S') + "o";
  struct Case { Texts args; PosixCommand command; std::string switches; const char* folder; } cases[] = {
      {{"-o"}, PosixCommand::kRun, "o", nullptr}, {{q40}, PosixCommand::kRun, "q", nullptr},
      {{q40000, "/odir"}, PosixCommand::kRun, "q", "/odir"}, {{mixed}, PosixCommand::kRun, "pSo", nullptr},
      {{q40000, "--list"}, PosixCommand::kList, "q", nullptr}, {{"-os", "-po", "-K"}, PosixCommand::kRun, "spoK", nullptr},
      {{"/odir", "-s"}, PosixCommand::kRun, "s", "/odir"}, {{"/t"}, PosixCommand::kRun, "", "/t"},
      {{"--", "-o"}, PosixCommand::kRun, "", "-o"}, {{"-"}, PosixCommand::kRun, "", "-"},
      {{"-o", "/a", "/b"}, PosixCommand::kUsageError, "o", "/a"}, {{"-ox"}, PosixCommand::kUsageError, "o", nullptr},
      {{"--check", "-x"}, PosixCommand::kCheck, "", nullptr}, {{"--bogus"}, PosixCommand::kUsageError, "", nullptr},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"./setup"};
    for (const auto& a : c.args) argv.push_back(a.c_str());
    auto parsed = std::make_unique<PosixArguments>();
    ParsePosixArguments(static_cast<int>(argv.size()), argv.data(), parsed.get());
    const std::string label = c.args[0].substr(0, 12) + " (" + std::to_string(c.args.size()) + " arguments)";
    EXPECT_EQ(parsed->command, c.command) << label;
    EXPECT_EQ(parsed->request.switches, c.switches) << label;
    EXPECT_EQ(parsed->request.folder ? std::string(parsed->request.folder) : "(none)", c.folder ? c.folder : "(none)")
        << label;
  }
}

}  // namespace
