// Messages: display shortening, per-mille progress, the error texts and exit
// codes of ReportError (the Linux message box writes "<caption>\n<text>\n\n"
// to standard error).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container/container.h"
#include "startup/startup.h"

namespace {

const std::string kCaption = " DOLM Self Extractor Error ";
const std::string kError0Head = "Error #0\nThe file '";
const std::string kError0Tail =
    "'  could not be opened !\n File does not exists, could not be created, or too many open files";

// A path of `n` characters whose every position can be told apart.
std::string NumberedPath(size_t n) {
  std::string path = "C:\\";
  for (size_t i = 0; path.size() < n; ++i) path += static_cast<char>('a' + i % 26);
  return path;
}

// The exact text as a POSIX extended regular expression.
std::string Literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::strchr(".[](){}*+?^$|\\", c)) out += '\\';
    out += c;
  }
  return out;
}

std::string BoxOutput(const std::string& text) { return Literal(kCaption + "\n" + text + "\n\n"); }

void SetOptionWord(uint32_t word) { gContainer.options.optionWord = word; }

TEST(ShortenForDisplay, KeepsShortPathsAndCutsLongOnesFromTheFront) {
  // expectedLength 0: the path itself comes back.
  struct Case { size_t length; int n; size_t expectedLength; } cases[] = {
      {0, 60, 0}, {60, 60, 0}, {61, 60, 60}, {259, 70, 70}, {5, 2, 2},
      {300, 400, 259},  // the buffer holds 259 characters at most
  };
  for (const Case& c : cases) {
    const std::string path = NumberedPath(c.length).substr(0, c.length);
    const char* result = ShortenForDisplay(path.c_str(), c.n);
    if (c.expectedLength == 0) {
      EXPECT_EQ(result, path.c_str()) << c.length << " characters, n " << c.n;
      continue;
    }
    const std::string expected = ".." + path.substr(path.size() - (c.expectedLength - 2));
    EXPECT_EQ(std::string(result), expected) << c.length << " characters, n " << c.n;
  }
}

TEST(PerMille, ScalesLargeCountsAndGuardsAgainstZero) {
  struct Case { uint32_t done, total, expected; } cases[] = {
      {500, 1000, 500},         {2000000, 4000000, 500}, {7, 0, 7000},
      {0, 0, 0},                {1000000, 999999, 1000},  // not scaled: at the limit
      {1000001, 2000000, 500},  {3000000, 500, 3000000},   // total 0 after scaling
      {999, 1000, 999},         {1, 3, 333},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PerMille(c.done, c.total), c.expected) << c.done << " of " << c.total;
}

TEST(ReportErrorDeathTest, ShowsTheErrorBoxAndEndsWithExitCode0) {
  SetOptionWord(0x115);  // IgnoreErrors 0
  std::snprintf(gContainer.archiveName, sizeof gContainer.archiveName, "%s", "C:\\x\\pack.exe");
  const std::string path75 = NumberedPath(75);
  struct Case { int16_t code; std::string text; std::string message; } cases[] = {
      {0, path75, kError0Head + ".." + path75.substr(75 - 58) + kError0Tail},
      {1, "ignored", "Error #1\nArchive 'C:\\x\\pack.exe'  cannot be recognized as a valid DOLM format!"},
      {2, "", "Error #2\nArchive 'C:\\x\\pack.exe' is damaged"},
      {15, "", "Error #15\nRecovery record found ! Archive 'C:\\x\\pack.exe' is already protected !"},
      {21, "Error #21\nThe ULEB marker was not found at location 1234",
       "Error #21\nThe ULEB marker was not found at location 1234"},
      {21, std::string(700, 'm'), std::string(519, 'm')},  // cut to the message buffer
      {22, "ignored",
       "Error #22\nCannot find options located in the second entry, unexpected error.\n"
       "Unable to locate Tarvex Options."},
  };
  for (const Case& c : cases)
    EXPECT_EXIT(ReportError(c.code, c.text.c_str()), ::testing::ExitedWithCode(0), "^" + BoxOutput(c.message) + "$")
        << "code " << c.code;
  // Every other code shows its own number (21's text is the caller's).
  for (int16_t code = 0; code <= 22; ++code)
    if (code != 21)
      EXPECT_EXIT(ReportError(code, "x"), ::testing::ExitedWithCode(0),
                  "^" + Literal(kCaption + "\nError #" + std::to_string(code) + "\n"))
          << "code " << code;
}

TEST(ReportError, IgnoredAndOutOfRangeErrorsReturnButTheFirstIsKept) {
  ASSERT_EQ(FirstReportedError(), -1);
  EXPECT_STREQ(FirstReportedMessage(), "");

  SetOptionWord(0);  // errors would end the process: these must not
  ReportError(23, "x");
  ReportError(-1, "x");
  ReportError(INT16_MIN, "x");
  EXPECT_EQ(FirstReportedError(), -1);

  for (uint32_t ignore : {0x400u, 0x800u, 0xC00u}) {
    SetOptionWord(ignore);
    FatalMessage(kCaption.c_str(), "not shown");
  }
  SetOptionWord(0x400);
  ReportError(0, "D:\\short.txt");
  EXPECT_EQ(FirstReportedError(), 0);
  EXPECT_EQ(std::string(FirstReportedMessage()), kError0Head + "D:\\short.txt" + kError0Tail);
  ReportError(12, "");
  EXPECT_EQ(FirstReportedError(), 0);

  // Report-only mode returns even when IgnoreErrors is clear.
  SetOptionWord(0);
  SetReportOnly(1);
  ReportError(4, "");
  FatalMessage(kCaption.c_str(), "not shown");
  SetReportOnly(0);
  EXPECT_EQ(FirstReportedError(), 0);
}

}  // namespace
