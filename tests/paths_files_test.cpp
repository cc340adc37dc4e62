// Target paths and the record of written paths. Opening, the overwrite
// question, stored times and attributes, and the folders recorded for the
// clean-up are checked by running the Linux stub (extract_e2e_test, launch_test).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "format/format.h"
#include "format/link_target.h"
#include "output/output.h"

namespace {

const uint32_t kRecreate = 1u << kRecreateOriginalFolders;

std::string Cwd() {
  char current[260];
  return getcwd(current, sizeof current) ? current : "";
}

TEST(TargetPath, StoredNamesMapBelowTheFolder) {
  const char* marked = "X\\Y\\TemporaryPathForDOLM\\Files\\Setup.exe";
  const std::string folder250 = "C:\\" + std::string(246, 'f') + "\\", cwd = Cwd() + "\\a.txt";
  struct Case { std::string folder; uint32_t word; const char* stored; std::string expected; bool fits; } cases[] = {
      {"C:\\TEMP\\", 0, marked, "C:\\TEMP\\Setup.exe", true},
      {"C:\\TEMP\\", kRecreate, marked, "C:\\TEMP\\Files\\Setup.exe", true},
      {"C:\\TEMP\\", kRecreate, "Files\\Setup.exe", "C:\\TEMP\\Files\\Setup.exe", true},
      {"C:\\TEMP\\", 0, "Files\\Setup.exe", "C:\\TEMP\\Setup.exe", true},
      {"C:\\TEMP\\", 0, "D:readme.txt", "C:\\TEMP\\readme.txt", true},
      {"C:\\TEMP\\", 0, "a/b/c.txt", "C:\\TEMP\\c.txt", true},
      {"D:\\out", 0, "a.txt", "D:\\out\\a.txt", true},
      {"C:\\TEMP\\", kRecreate, "A\\TemporaryPathForDOLM\\B\\TemporaryPathForDOLM\\c.txt",
       "C:\\TEMP\\B\\TemporaryPathForDOLM\\c.txt", true},
      {"C:\\TEMP\\", kRecreate, "temporarypathfordolm\\x.txt", "C:\\TEMP\\temporarypathfordolm\\x.txt", true},
      {"C:\\TEMP\\", kRecreate, "\\abs\\x.txt", "C:\\TEMP\\\\abs\\x.txt", true},
      {"", 0, "dir\\a.txt", cwd, true},  // no folder: the current one
      {folder250, 0, "123456789", folder250 + "123456789", true},  // exactly 259 characters
      {folder250, 0, "1234567890", folder250 + "123456789", false},
      {std::string(259, 'd'), 0, "a", std::string(259, 'd'), false},  // the separator alone would not fit
  };
  for (const Case& c : cases) {
    char target[kPathSize];
    EXPECT_EQ(TargetPathFor(c.folder.c_str(), c.word, c.stored, target), c.fits) << c.folder << " + " << c.stored;
    EXPECT_EQ(target, c.expected) << c.folder << " + " << c.stored;
  }
}

TEST(WrittenRecord, PathsCompareInNormalisedForm) {
  WrittenRecord r = {nullptr, 0, 0, nullptr, 0, 0, true};
  for (const char* path : {"/r/a/b/../c/./d//e.txt", "/r/z/Mixed", "rel\\f.txt"})
    RecordWrittenPath(&r, path);
  const std::string relative = Cwd() + "/rel/f.txt";
  const struct { const char* path; bool written, below; } cases[] = {
      {"\\r\\a\\c\\d\\e.txt", true, false}, {"/r/a/c/d/e.txt/", true, false},
      {"/r/a/c/d/E.txt", false, false},  // POSIX names keep their case
      {"/r/z/mixed", false, false},         {"/r/a/c/d", false, true},
      {"/r", false, true},                  {"/r/a/cd", false, false},
      {"/r/a/b", false, false},             {relative.c_str(), true, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(std::tuple(IsWrittenPath(&r, c.path), HasWrittenPathBelow(&r, c.path)), std::tuple(c.written, c.below))
        << "written, below: " << c.path;
  ForgetWrittenPaths(&r);
}

// A link made below a folder may only lead to what lies below it: the rule
// that pack, dolm extract and the Linux stub apply alike.
TEST(LinkTarget, StaysBelowTheFolderItIsMadeIn) {
  const struct { const char* name; const char* target; bool inside; } cases[] = {
      {"lnk", "a.txt", true},                  {"lnk", "sub/./a.txt", true},
      {"lnk", "..", false},                    {"lnk", "../a.txt", false},
      {"lnk", "/etc/passwd", false},           {"lnk", "", false},
      {"d\\lnk", "../a.txt", true},            {"d\\e/lnk", "../../a.txt", true},
      {"d\\lnk", "../../a.txt", false},        {"d\\lnk", "x/../../a.txt", false},
      {"d\\lnk", "x/../a.txt", false},         // ".." after a name: that name may be a link
      {"d\\.\\lnk", "../a.txt", true},        {"d\\..\\lnk", "../a.txt", false},
      {"..\\d\\lnk", "../a.txt", false},      // a name that climbs first allows no ".."
      {"d\\\\\\lnk", "../a.txt", true},       {"d\\lnk", "./../a.txt", true},
  };
  for (const auto& c : cases) {
    const std::string target = c.target;
    EXPECT_EQ(LinkTargetStaysInside(reinterpret_cast<const uint8_t*>(target.data()), static_cast<uint32_t>(target.size()),
                                    StoredFolderDepth(c.name)),
              c.inside)
        << c.name << " -> " << c.target;
  }
  const uint8_t zero[] = {'a', 0, 'b'};
  EXPECT_FALSE(LinkTargetStaysInside(zero, 3, 5)) << "a zero byte would cut the target short";
}

}  // namespace
