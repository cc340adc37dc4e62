// The POSIX backend: Windows-style command lines formed from argv and split
// back. The overwrite question on standard input, the directory search and the
// temporary folder are checked by running the Linux stub (extract_e2e_test,
// launch_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform_posix.h"

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
