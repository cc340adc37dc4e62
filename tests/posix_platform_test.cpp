// The POSIX backend's Windows-style command lines: formed from argv, split
// back by the Windows rules. The overwrite question on standard input, the
// directory search and the temporary folder are checked by running the Linux
// stub (extract_e2e_test, launch_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform_posix.h"

namespace {

using Args = std::vector<std::string>;

std::string Form(const Args& args, size_t size = 4096) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::vector<char> line(size);
  const size_t length = PosixFormCommandLine(static_cast<int>(argv.size()), argv.data(), line.data(), size);
  EXPECT_EQ(length, std::string(line.data()).size());
  return line.data();
}

Args Split(const std::string& line) {
  std::vector<char> storage(2 * line.size() + 2);
  std::vector<char*> argv(line.size() / 2 + 2);
  int argc = PosixSplitCommandLine(line.c_str(), storage.data(), argv.data());
  EXPECT_EQ(argv[static_cast<size_t>(argc)], nullptr);
  return Args(argv.begin(), argv.begin() + argc);
}

TEST(PosixCommandLine, FormedLinesSplitBackToTheirArguments) {
  const struct { Args args; const char* line; } cases[] = {  // line "": only the round trip is checked
      {{"/x/pack", "-s", "D:\\my files", ""}, "\"/x/pack\" -s \"D:\\my files\" \"\""},
      {{"p", "/s", "/sq", "/tmp/out"}, "\"p\" /s /sq \"/tmp/out\""},  // an absolute path is no switch
      {{"p", "a\"b", "c d\\"}, "\"p\" a\\\"b \"c d\\\\\""},
      {{"/usr/bin/prog"}, "\"/usr/bin/prog\""},
      {{"/p", "plain", "with blank", "", "tab\there"}, ""},
      {{"/p", "quote\"inside", "\"", "trailing\\", "both \\\" and \\\\\"", "\\\\server\\share\\"}, ""},
      {{"/p", "-s", "/q", "D:\\out dir\\", "  lead", "x\\\\"}, ""},
  };
  for (const auto& c : cases) {
    if (*c.line) EXPECT_EQ(Form(c.args), c.line);
    EXPECT_EQ(Split(Form(c.args)), c.args);
  }
  EXPECT_EQ(Form({"prog", "abc", "defghijkl"}, 16), "\"prog\" abc");  // what does not fit is dropped whole
  const struct { const char* line; Args args; } splits[] = {  // lines that no argv forms
      {"\"C:\\a b\\p.exe\" x  y ", {"C:\\a b\\p.exe", "x", "y"}}, {"C:\\p\\q.exe\t\"a b\"c", {"C:\\p\\q.exe", "a bc"}},
      {"p a\\\\\"b c\"", {"p", "a\\b c"}}, {"p \"a\"\"b\" \"\"", {"p", "a\"b", ""}},
      {"\"\\x\\y\" \"unclosed arg", {"\\x\\y", "unclosed arg"}},
  };
  for (const auto& c : splits) EXPECT_EQ(Split(c.line), c.args) << c.line;
}

}  // namespace
