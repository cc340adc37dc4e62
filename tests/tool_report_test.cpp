// What the tool reports for CI and the shell: list --checksums against
// sha256sum and crc32 of the extracted files, test --json, the completion
// script against every command's --help, and restub's warnings and refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using Args = std::vector<std::string>;

RunResult RunDolm(Args args) {
  args.insert(args.begin(), BuildDir() + "/dolm");
  return RunProgram(args);
}

// The first word printed by `command` run on `file` ("sha256sum FILE" -> digest).
std::string FirstWord(const std::string& command, const std::string& file) {
  std::istringstream out(RunProgram({"/usr/bin/" + command, file}).out);
  std::string word;
  out >> word;
  return word;
}

// The line of `text` holding `part`, or "".
std::string LineWith(const std::string& text, const std::string& part) {
  size_t at = text.find(part);
  if (at == std::string::npos) return "";
  size_t start = text.rfind('\n', at) + 1;
  return text.substr(start, text.find('\n', at) - start);
}

TEST(ToolReport, ChecksumsMatchTheExtractedFilesAndTestJsonGivesTheVerdict) {
  const std::string root = MakeTempDir("report-sums"), sfx = root + "/sfx";
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
      {"big.bin", RandomBytes(700000, 1)}, {"text.txt", TextLikeBytes(300000, 2)}, {"empty", {}}, {"one", {'x'}}};
  mkdir((root + "/in").c_str(), 0755);
  for (const auto& file : files) WriteFileBytes(root + "/in/" + file.first, file.second);
  ASSERT_EQ(RunDolm({"pack", "-o", sfx, "--stub", "linux", "--window", "64K", root + "/in"}).exitCode, 0);
  ASSERT_EQ(RunDolm({"extract", sfx, "-C", root + "/out"}).exitCode, 0);
  RunResult list = RunDolm({"list", "--json", "--checksums", sfx});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  for (const auto& file : files) {
    const std::string line = LineWith(list.out, "\"name\": \"in\\\\" + file.first + "\"");
    const std::string extracted = root + "/out/in/" + file.first;
    EXPECT_TRUE(Contains(line, "\"sha256\": \"" + FirstWord("sha256sum", extracted) + "\"")) << line;
    EXPECT_TRUE(Contains(line, "\"crc32\": \"" + FirstWord("crc32", extracted) + "\"")) << line;
  }
  // The ratio of the declared size is taken to the archive, without the stub.
  const double archive = static_cast<double>(ReadFileBytes(sfx).size()) -
                         std::stod(list.out.substr(list.out.find("\"archiveOffset\": ") + 17));
  char ratio[64];
  snprintf(ratio, sizeof ratio, "(%.1f times the archive's size)", 1000001 / archive);
  EXPECT_TRUE(Contains(RunDolm({"list", sfx}).out, ratio)) << ratio;

  std::vector<uint8_t> damaged = ReadFileBytes(sfx);
  damaged[damaged.size() - 5000] ^= 0x5A;
  WriteFileBytes(root + "/damaged", damaged);
  struct Case { std::string file; int exitCode; std::vector<std::string> parts; } cases[] = {
      {sfx, 0, {"\"whole\": true", "\"safe\": true", "\"error\": null", "\"fileCount\": 4"}},
      {root + "/damaged", 1, {"\"whole\": false", "\"error\": \"'" + root + "/damaged': Error #2"}},
  };
  for (const auto& c : cases) {
    RunResult test = RunDolm({"test", "--json", c.file});
    EXPECT_EQ(test.exitCode, c.exitCode) << test.err;
    for (const auto& part : c.parts) EXPECT_TRUE(Contains(test.out, part)) << part << "\n" << test.out;
    EXPECT_EQ(RunDolm({"list", "--checksums", c.file}).exitCode, c.exitCode);
  }
}

// Every long option a command's --help names completes after "--", and no
// other; option values complete from the same tables.
TEST(ToolReport, CompletionOffersEveryOptionOfEveryHelpText) {
  const std::string script = BuildDir() + "/dolm.bash-completion";
  ASSERT_TRUE(PathExists(script));
  auto complete = [&script](const std::string& words) {
    RunResult r = RunProgram({"/bin/bash", "-c", "source '" + script + "'; COMP_WORDS=(" + words +
                                                "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _dolm; "
                                                "printf '%s\\n' \"${COMPREPLY[@]}\""});
    std::set<std::string> offered;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) offered.insert(line);
    return offered;
  };
  const std::regex longOption("--[a-z][a-z-]*[a-z]");
  for (std::string command : {"pack", "list", "test", "extract", "restub"}) {
    RunResult help = RunDolm({command, "--help"});
    std::set<std::string> named;
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), longOption), end; it != end; ++it)
      named.insert(it->str());
    std::set<std::string> offered = complete("dolm " + command + " --");
    EXPECT_GT(named.size(), 1u) << command;
    EXPECT_EQ(named, offered) << "'" << command << "': --help against what completion offers";
  }
  EXPECT_EQ(complete("dolm ''"), (std::set<std::string>{"pack", "list", "test", "extract", "restub", "--help", "--version"}));
  EXPECT_EQ(complete("dolm pack --stub w"), (std::set<std::string>{"win32", "win64"}));
  EXPECT_EQ(complete("dolm restub --codepage 93"), (std::set<std::string>{"932", "936"}));
  EXPECT_EQ(complete("dolm pack --execution-level r"), (std::set<std::string>{"requireAdministrator"}));
}

TEST(ToolReport, RestubWarnsOfAWindowsProgramAndRefusesACodePageAlone) {
  const std::string root = MakeTempDir("report-restub"), sfx = root + "/sfx";
  mkdir((root + "/in").c_str(), 0755);
  WriteText(root + "/in/run.sh", "#!/bin/sh\n");
  WriteText(root + "/in/setup.exe", "MZ");
  WriteText(root + "/in/tool", "MZ\x90");
  ASSERT_EQ(RunDolm({"pack", "-o", sfx, "--stub", "linux", "--classic", root + "/in"}).exitCode, 0);
  const char* warning = "is a Windows program, which the Linux stub will not start";
  struct Case { Args options; int exitCode; std::string message; } cases[] = {
      {{"--exec", "in/setup.exe"}, 0, warning},
      {{"--exec", "in/tool"}, 0, warning},
      {{"--exec", "in/run.sh"}, 0, ""},
      {{"--codepage", "932"}, 2, "cannot convert them"},
      {{"--codepage", "932", "--exec", "in/run.sh"}, 0, ""},
  };
  for (const auto& c : cases) {
    Args args = {"restub", sfx, "--stub", "linux", "-o", root + "/out"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunResult r = RunDolm(args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.options[1] << ": " << r.err;
    EXPECT_EQ(Contains(r.err, c.message.empty() ? warning : c.message), !c.message.empty()) << c.options[1] << ": " << r.err;
  }
  // The Linux stub takes -h as --help.
  RunResult help = RunProgram({sfx, "-h"});
  EXPECT_EQ(help.exitCode, 0) << help.err;
  EXPECT_TRUE(Contains(help.out, "-h, --help")) << help.out;
}

}  // namespace
