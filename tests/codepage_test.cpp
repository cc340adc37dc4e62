// Names beyond ASCII: dolm pack stores them in a Windows code page, dolm
// list/extract and the Linux stub give them back as UTF-8, and no printed
// name carries a terminal control or breaks strict UTF-8 in JSON.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using Args = std::vector<std::string>;

RunResult Dolm(Args args, const Args& more = {}) {
  args.insert(args.begin(), BuildDir() + "/dolm");
  args.insert(args.end(), more.begin(), more.end());
  return RunProgram(args);
}

// A self-extractor for the Linux stub holding files under these stored names.
std::string ArchiveWith(const std::string& dir, const Args& names) {
  std::vector<packer::PackFile> files;
  for (const auto& name : names) files.push_back({name, {'x'}, 1000000000, 0x20});
  EXPECT_TRUE(WriteProgram(dir + "/sfx", LinuxStubWith(files, {}, 0)));
  return dir + "/sfx";
}

// The names in a folder, sorted.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& file : FilesBelow(folder)) names.push_back(file.first);
  return names;
}

TEST(CodePage, PackConvertsOrRefusesEachName) {
  std::string e240;  // 120 x U+00E9: 240 bytes of UTF-8, 120 in code page 1252
  for (int i = 0; i < 120; ++i) e240 += "é";
  const std::string cp932[] = {"--codepage", "932"};
  struct Case { std::string file; Args options; int exit; std::string expect; } cases[] = {  // in the JSON or message
      {"résumé.txt", {}, 0, "\"storedBytes\": \"72 E9 73 75 6D E9 2E 74 78 74\""},
      {"日本.txt", {}, 1, "日本.txt' cannot be written in code page 1252; use --codepage 932"},
      {"日本.txt", {cp932[0], cp932[1]}, 0, "\"name\": \"日本.txt\", \"storedBytes\": \"93 FA 96 7B 2E 74 78 74\""},
      {"表.txt", {cp932[0], cp932[1]}, 1, "表 ends in the byte 0x5C"},
      {"¥.txt", {cp932[0], cp932[1]}, 1, "cannot be written in code page 932; use --codepage 1252"},
      {"Ωμέγα.txt", {"--codepage", "1253"}, 0, "\"name\": \"Ωμέγα.txt\""},
      {"日本.txt", {"--codepage", "65001"}, 0, "\"name\": \"日本.txt\", \"size\""},
      {e240 + "/" + e240 + ".txt", {}, 0, "\"size\""},  // 255 bytes at most: 245 stored here, 485 in UTF-8
      {"a.txt", {"--codepage", "437"}, 2, "unknown code page '437'"},
  };
  for (const Case& c : cases) {
    const std::string dir = MakeTempDir("codepage-pack"), input = dir + "/" + c.file.substr(0, c.file.find('/'));
    if (c.file.find('/') != std::string::npos) mkdir(input.c_str(), 0755);
    WriteText(dir + "/" + c.file, "x");
    RunResult packed = Dolm(Args{"pack", "-o", dir + "/out", "--stub", "linux", input}, c.options);
    EXPECT_EQ(packed.exitCode, c.exit) << c.file << packed.err;
    const std::string shown = c.exit != 0 ? packed.err : Dolm({"list", "--json", dir + "/out"}, c.options).out;
    EXPECT_TRUE(Contains(shown, c.expect)) << shown;
    EXPECT_EQ(PathExists(dir + "/out"), c.exit == 0);
  }
}

TEST(CodePage, StoredNamesReadAsUtf8ByListExtractAndTheLinuxStub) {
  std::string dir = MakeTempDir("codepage-read");
  const Args stored = {"r\xE9sum\xE9.txt", "\xC6r\xF8.txt", "na\xEFve caf\xE9.txt", "utf8-\xC3\xA9.txt"};
  const std::vector<std::string> want = {"naïve café.txt", "résumé.txt", "utf8-é.txt", "Ærø.txt"};
  std::string sfx = ArchiveWith(dir, stored);
  for (const auto& name : want) EXPECT_TRUE(Contains(Dolm({"list", sfx}).out, "  " + name + "\n"));
  ASSERT_EQ(Dolm({"extract", sfx, "-C", dir + "/tool"}).exitCode, 0);
  EXPECT_EQ(Names(dir + "/tool"), want);
  RunResult stub = RunProgram({sfx, "-o", dir + "/stub"});
  EXPECT_EQ(stub.exitCode, 0) << stub.err;
  EXPECT_EQ(Names(dir + "/stub"), want);
}

TEST(CodePage, UnreadableNamesAreReportedAndNotExtracted) {
  struct Case { std::string name, codePage, why; } cases[] = {  // codePage "": none given
      {"x\x81.txt", "", "0x81 at offset 1 does not start a character of code page 1252"},
      {"x\x81.txt", "932", "0x81 at offset 1 does not start a character of code page 932"},
      {"\x95\x5C.txt", "932", "0x5C at offset 1 is the second byte of a character"},
      {"\xE9.txt", "65001", "0xE9 at offset 0 is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    const std::string dir = MakeTempDir("codepage-bad"), sfx = ArchiveWith(dir, {"good.txt", c.name});
    const Args page = c.codePage.empty() ? Args{} : Args{"--codepage", c.codePage};
    RunResult listed = Dolm({"list", sfx}, page), extracted = Dolm({"extract", sfx, "-C", dir + "/out"}, page);
    EXPECT_TRUE(Contains(listed.err, "cannot be read: ") && Contains(listed.err, c.why) && Contains(listed.out, c.why))
        << listed.err;
    EXPECT_TRUE(extracted.exitCode == 1 && Contains(extracted.err, "refusing to extract") &&
                Contains(extracted.err, c.why)) << extracted.err;
    EXPECT_FALSE(PathExists(dir + "/out/good.txt"));
  }
}

TEST(CodePage, HostileNamesPrintNoControlAndJsonStaysStrictUtf8) {
  const std::string dir = MakeTempDir("codepage-hostile"), sfx = ArchiveWith(dir, {"evil\x1b[2K\x1b[1A.txt", "over\xC0\xAF" "long.txt",
                                      "sur\xED\xA0\x80.txt", "c1\xC2\x9B" "31m.txt"});
  for (const char* command : {"list", "test", "extract"}) {
    RunResult run = Dolm({command, sfx}, std::string(command) == "extract" ? Args{"-C", dir + "/out"} : Args{});
    for (const std::string& text : {run.out, run.err}) {
      EXPECT_EQ(text.find('\x1b'), std::string::npos) << command << text;
      EXPECT_EQ(text.find("\xC2\x9B"), std::string::npos) << command << text;
    }
    EXPECT_TRUE(Contains(run.out + run.err, "evil\\x1b[2K\\x1b[1A.txt")) << command;
  }
  // In 65001 the overlong form and the surrogate are unreadable and shown by their bytes.
  for (const Args& page : {Args{}, Args{"--codepage", "65001"}}) {
    WriteText(dir + "/list.json", Dolm({"list", "--json", sfx}, page).out);
    // python3 reads the listing as strict UTF-8 and JSON.
    RunResult parsed = RunProgram({"/usr/bin/python3", "-c",
                                   "import json,sys; d=json.loads(open(sys.argv[1],encoding='utf-8',"
                                   "errors='strict').read()); print([f.get('storedBytes') for f in d['files']])",
                                   dir + "/list.json"});
    EXPECT_EQ(parsed.exitCode, 0) << parsed.err;
    for (const char* bytes : {"'6F 76 65 72 C0 AF 6C 6F 6E 67 2E 74 78 74'", "'73 75 72 ED A0 80 2E 74 78 74'",
                              "'65 76 69 6C 1B 5B 32 4B 1B 5B 31 41 2E 74 78 74'"})
      EXPECT_TRUE(Contains(parsed.out, bytes)) << parsed.out;
  }
}

}  // namespace
