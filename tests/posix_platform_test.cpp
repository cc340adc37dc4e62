// The POSIX backend: Windows-style command lines formed from argv and split
// back, the overwrite question on standard input, the directory search and the
// temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "support/test_support.h"

namespace {

using Args = std::vector<std::string>;

std::string Form(const Args& args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  char line[4096];
  PosixFormCommandLine(static_cast<int>(argv.size()), argv.data(), line, sizeof line);
  return line;
}

Args Split(const std::string& line) {
  std::vector<char> storage(2 * line.size() + 2);
  std::vector<char*> argv(line.size() / 2 + 2);
  int argc = PosixSplitCommandLine(line.c_str(), storage.data(), argv.data());
  EXPECT_EQ(argv[static_cast<size_t>(argc)], nullptr);
  return Args(argv.begin(), argv.begin() + argc);
}

// The stub's form of a host path: every slash a backslash.
std::string Backslashed(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

}  // namespace

TEST(PosixCommandLine, FormsWindowsStyleLines) {
  EXPECT_EQ(Form({"/x/pack", "-s", "D:\\my files", ""}), "\"/x/pack\" -s \"D:\\my files\" \"\"");
  EXPECT_EQ(Form({"/x/pack"}), "\"/x/pack\"");
  // Absolute host paths are quoted so that their slash is not a switch mark.
  EXPECT_EQ(Form({"p", "/s", "/sq", "/tmp/out"}), "\"p\" /s /sq \"/tmp/out\"");
  EXPECT_EQ(Form({"p", "a\"b", "c d\\"}), "\"p\" a\\\"b \"c d\\\\\"");
  // Arguments that do not fit are dropped whole.
  const char* argv[] = {"prog", "abc", "defghijkl"};
  char line[16];
  EXPECT_EQ(PosixFormCommandLine(3, argv, line, sizeof line), 10u);
  EXPECT_STREQ(line, "\"prog\" abc");
}

TEST(PosixCommandLine, SplitsByTheWindowsRules) {
  struct Case { const char* line; Args expected; } cases[] = {
      {"\"C:\\a b\\p.exe\" x  y ", {"C:\\a b\\p.exe", "x", "y"}},
      {"C:\\p\\q.exe\t\"a b\"c", {"C:\\p\\q.exe", "a bc"}},
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},
      {"p \"a\"\"b\" \"\"", {"p", "a\"b", ""}},
      {"\"\\x\\y\" \"unclosed arg", {"\\x\\y", "unclosed arg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Split(c.line), c.expected);
  }
}

TEST(PosixCommandLine, RoundTrip) {
  const Args cases[] = {
      {"/usr/bin/prog"},
      {"/p", "plain", "with blank", "", "tab\there"},
      {"/p", "quote\"inside", "\"", "trailing\\", "both \\\" and \\\\\"", "\\\\server\\share\\"},
      {"/p", "-s", "/q", "D:\\out dir\\", "  lead", "x\\\\"},
  };
  for (const Args& args : cases) EXPECT_EQ(Split(Form(args)), args);
}

TEST(PosixPlatform, OverwriteAnswersFromStandardInput) {
  std::string dir = MakeTempDir("answers");
  std::string input = dir + "/input";
  const std::string text = "maybe\ny\nYES\n  a \nN\r\n" + std::string(400, 'c') + "\nC\n\nn\n";
  WriteFileBytes(input, std::vector<uint8_t>(text.begin(), text.end()));
  ASSERT_NE(std::freopen(input.c_str(), "r", stdin), nullptr);
  // Unknown or over-long lines are asked again; the end of input answers N.
  const int expected[] = {'Y', 'A', 'N', 'C', 'N', 'N', 'N'};
  for (int want : expected) {
    int answer = 'C';
    EXPECT_EQ(PlatformOverwriteDialog("/tmp/x exists", 1, &answer), 0);
    EXPECT_EQ(answer, want);
  }
}

// Times and attributes are checked through FinishFile, starting processes
// through the launch tests; the search is checked here.
TEST(PosixPlatform, SearchReportsNamesAndAttributes) {
  std::string dir = MakeTempDir("search");
  WriteFileBytes(dir + "/a.txt", {'x'});
  ASSERT_EQ(PlatformCreateFolder(Backslashed(dir + "/sub").c_str()), 0);
  ASSERT_EQ(PlatformSetAttributes(Backslashed(dir + "/a.txt").c_str(), kAttrReadOnly), 0);
  std::vector<std::string> seen;
  PlatformFindEntry entry;
  void* search = PlatformFindFirst(Backslashed(dir + "/*.*").c_str(), &entry);
  ASSERT_NE(search, nullptr);
  do {
    std::string name = entry.name;
    seen.push_back(name);
    if (name == "a.txt") EXPECT_EQ(entry.attributes, kAttrReadOnly | kAttrArchive);
    if (name == "sub") EXPECT_EQ(entry.attributes, kAttrFolder);
  } while (PlatformFindNext(search, &entry) == 0);
  PlatformFindClose(search);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{".", "..", "a.txt", "sub"}));
  EXPECT_EQ(PlatformFindFirst((dir + "/nowhere/*.*").c_str(), &entry), nullptr);
  EXPECT_EQ(PlatformRemoveFolder(Backslashed(dir + "/sub").c_str()), 0);
}

TEST(PosixPlatform, TempPathEndsInASlash) {
  char buf[260];
  setenv("TMPDIR", "/var/tmp/x", 1);
  EXPECT_EQ(PlatformTempPath(buf, sizeof buf), 11);
  EXPECT_STREQ(buf, "/var/tmp/x/");
  EXPECT_EQ(PlatformTempPath(buf, 5), 0);
  EXPECT_STREQ(buf, "");
  unsetenv("TMPDIR");
  PlatformTempPath(buf, sizeof buf);
  EXPECT_STREQ(buf, "/tmp/");
}
