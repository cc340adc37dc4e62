// End-to-end tests of the dolm tool: they run build/dolm on generated folders
// and on archives made with the packer directly. Names beyond ASCII: pack
// stores them in a Windows code page, list/extract and the Linux stub give
// them back as UTF-8, and no printed name carries a terminal control or breaks
// strict UTF-8 in JSON.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "format/format.h"
#include "format/stored_names.h"
#include "packer/packer.h"
#include "support/test_support.h"

namespace {

using Args = std::vector<std::string>;

RunResult RunDolm(Args args, const Args& more = {}, long fileLimitBytes = 0) {
  args.insert(args.begin(), BuildDir() + "/dolm");
  args.insert(args.end(), more.begin(), more.end());
  RunOptions options;
  options.fileLimitBytes = fileLimitBytes;
  return RunProgram(args, options);
}

// One generated input file below the input root.
struct Input { std::string relative; std::vector<uint8_t> data; time_t time; bool readOnly; };

// A folder "payload" with nested, empty and read-only files, plus a loose file.
std::vector<Input> MakeInputs(const std::string& root) {
  std::vector<Input> inputs = {
      {"setup.sh", TextLikeBytes(700, 1), 1000000000, false},
      {"payload/readme.txt", TextLikeBytes(90000, 2), 1100000000, false},
      {"payload/docs/data.bin", RandomBytes(150000, 3), 1200000000, false},
      {"payload/docs/empty.txt", {}, 1300000000, false},
      {"payload/locked.txt", TextLikeBytes(5000, 4), 1400000000, true},
  };
  for (const char* folder : {"/payload", "/payload/docs"}) mkdir((root + folder).c_str(), 0755);
  for (const auto& in : inputs) {
    const std::string path = root + "/" + in.relative;
    WriteFileBytes(path, in.data);
    struct timespec times[2] = {{in.time, 0}, {in.time, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    if (in.readOnly) chmod(path.c_str(), 0444);
  }
  return inputs;
}

void ExpectExtracted(const std::vector<Input>& inputs, const std::string& dir) {
  for (const auto& in : inputs) {
    const std::string path = dir + "/" + in.relative;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(ReadFileBytes(path), in.data) << path;
    EXPECT_EQ(std::tuple(st.st_mtime, !(st.st_mode & S_IWUSR)), std::tuple(in.time, in.readOnly)) << path;
  }
}

// The stored name of an input (backslashes between the parts), and its JSON
// list entry up to its time (capped at `cap`), where a backslash is written "\\".
std::string Stored(const Input& in, const char* separator = "\\") {
  std::string name;
  for (char c : in.relative) name += c == '/' ? std::string(separator) : std::string(1, c);
  return name;
}
std::string JsonEntry(const Input& in, time_t cap) {
  const time_t t = in.time < cap ? in.time : cap;
  char time[32];
  struct tm parts;
  strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&t, &parts));
  return "{\"name\": \"" + Stored(in, "\\\\") + "\", \"size\": " + std::to_string(in.data.size()) +
         ", \"time\": \"" + time + "\"";
}

// Packs the inputs below root into out with the Linux stub.
RunResult Pack(const std::string& root, const std::string& out, Args extra = {}) {
  extra.insert(extra.end(), {root + "/payload", root + "/setup.sh"});
  return RunDolm({"pack", "-o", out, "--stub", "linux"}, extra);
}

// A self-extractor with the given stored names, made with the packer directly.
std::string PackNames(const std::string& root, const Args& names) {
  std::vector<packer::PackFile> files;
  for (const auto& name : names) files.push_back({name, {'d', 'a', 't', 'a'}, 1000000000, 0x20});
  EXPECT_TRUE(WriteProgram(root + "/sfx", LinuxStubWith(files, packer::WriteOptionBlock({}), 0)));
  return root + "/sfx";
}

// The smallest PE image osslsigncode signs, holding the overlay signature once.
std::vector<uint8_t> MinimalPeStub() {
  std::vector<uint8_t> image(0x400, 0);
  const std::string signature = DOLM_OVERLAY_SIGNATURE;
  std::copy(signature.begin(), signature.end(), image.begin() + 0x200);
  image[0] = 'M', image[1] = 'Z', image[0x3C] = 0x40, image[0x40] = 'P', image[0x41] = 'E';
  image[0x54] = 0xE0;                                       // size of the optional header
  image[0x58] = 0x0B, image[0x59] = 1, image[0x58 + 92] = 16;  // PE32, 16 data directories
  return image;
}

TEST(ToolRoundTrip, PackListTestExtractReproduceAndSign) {
  const std::string root = MakeTempDir("tool-rt"), sfx = root + "/setup-sfx";
  const std::vector<Input> inputs = MakeInputs(root);
  ASSERT_EQ(Pack(root, sfx, {"--window", "64K", "--level", "9", "--exec", "setup.sh", "--args", "-x ../y", "--silent",
                             "--delete-when-done", "--temp", "C:\\Out"}).exitCode, 0);
  RunResult list = RunDolm({"list", sfx});
  Args parts = {"64K", "-x ../y", "C:\\Out"};
  for (const auto& in : inputs) parts.push_back(Stored(in));
  for (const auto& part : parts) EXPECT_TRUE(Contains(list.out, part)) << part << " in " << list.out;
  EXPECT_FALSE(Contains(list.out, "UNSAFE")) << list.out;
  RunResult json = RunDolm({"list", sfx, "--json"});
  for (const auto& in : inputs)
    EXPECT_TRUE(Contains(json.out, JsonEntry(in, in.time) + ", \"timeSeconds\": " + std::to_string(in.time) +
                                       ", \"attributes\": " + (in.readOnly ? "33" : "32")))
        << in.relative;
  for (const char* field : {"\"OverWriteExistingFiles\": 0", "\"KeepOriginalFileAttrib\": 1",
                            "\"RecreateOriginalFolders\": 1", "\"DeleteSFXwhenDone\": 1", "\"PromptUserForOptions\": 0",
                            "\"IgnoreErrors\": 0", "\"executeFile\": \"setup.sh\"", "\"profileIndex\": 1"})
    EXPECT_TRUE(Contains(json.out, field)) << field;

  EXPECT_EQ(RunDolm({"test", sfx}).exitCode, 0);
  ASSERT_EQ(RunDolm({"extract", sfx, "-C", root + "/out"}).exitCode, 0);
  ExpectExtracted(inputs, root + "/out");
  // Existing files are kept unless --overwrite is given, which replaces them
  // (the read-only one too) with new files: a hard link to a setuid file keeps its bytes and mode.
  const std::string changed = root + "/out/" + inputs[1].relative;
  WriteText(changed, "mine");
  chmod(changed.c_str(), 04755);
  ASSERT_EQ(link(changed.c_str(), (root + "/link").c_str()), 0);
  EXPECT_TRUE(Exited(RunDolm({"extract", sfx, "-C", root + "/out"}), 1, "--overwrite"));
  EXPECT_EQ(ReadText(changed), "mine");
  ASSERT_EQ(RunDolm({"extract", sfx, "-C", root + "/out", "--overwrite"}).exitCode, 0);
  ExpectExtracted(inputs, root + "/out");
  struct stat st;
  EXPECT_EQ(ReadText(root + "/link"), "mine");
  ASSERT_EQ(stat((root + "/link").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04755u);

  // The order of the inputs does not change the bytes; SOURCE_DATE_EPOCH caps
  // the stored times and must be a number.
  ASSERT_EQ(RunDolm({"pack", "-o", root + "/a", "--stub", "linux", root + "/setup.sh", root + "/payload"}).exitCode, 0);
  ASSERT_EQ(Pack(root, root + "/b").exitCode, 0);
  EXPECT_EQ(ReadFileBytes(root + "/a"), ReadFileBytes(root + "/b"));
  const time_t cap = 1250000000;
  setenv("SOURCE_DATE_EPOCH", std::to_string(cap).c_str(), 1);
  RunResult capped = Pack(root, root + "/c");
  setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
  RunResult bad = Pack(root, root + "/d");
  unsetenv("SOURCE_DATE_EPOCH");
  json = RunDolm({"list", "--json", root + "/c"});
  EXPECT_TRUE(Exited(capped, 0));
  for (const auto& in : inputs) EXPECT_TRUE(Contains(json.out, JsonEntry(in, cap))) << json.out;
  EXPECT_TRUE(Exited(bad, 1, "SOURCE_DATE_EPOCH"));

  // A PE stub signed after packing: the signature behind the archive is
  // reported and does not disturb extraction.
  const std::string pe = root + "/setup.exe", signedFile = root + "/signed.exe";
  WriteFileBytes(root + "/stub.exe", MinimalPeStub());
  ASSERT_EQ(Pack(root, pe, {"--stub", root + "/stub.exe"}).exitCode, 0);
  for (const Args& command : {Args{"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                    root + "/key.pem", "-out", root + "/cert.pem", "-days", "2", "-subj", "/CN=dolm"},
                               Args{"/usr/bin/osslsigncode", "sign", "-certs", root + "/cert.pem", "-key",
                                    root + "/key.pem", "-in", pe, "-out", signedFile}})
    ASSERT_EQ(RunProgram(command).exitCode, 0) << command[0];
  RunResult test = RunDolm({"test", signedFile});
  EXPECT_TRUE(Exited(test, 0));
  EXPECT_TRUE(Contains(test.out, "after the last block")) << test.out;
  ASSERT_EQ(RunDolm({"extract", signedFile, "-C", root + "/signed"}).exitCode, 0);
  ExpectExtracted(inputs, root + "/signed");
}

// A write that fails (here beyond a file size limit) ends extract with exit
// code 1, naming the file and the system's reason; the partial file is removed.
// With --overwrite over an old big.bin: without the record the old file is
// replaced at once and the partial one removed; with it, the old one stays.
TEST(ToolRoundTrip, FailedWriteRemovesThePartialFile) {
  std::vector<packer::PackFile> files = {{"small.txt", {'x'}}, {"big.bin", TextLikeBytes(3 << 20, 7)}};
  for (bool record : {false, true}) {
    const std::string root = MakeTempDir("tool-full"), out = root + "/out";
    StoredOptions options = {};
    options.extension.present = record;
    options.extension.behaviour = kBehaveAll;
    ASSERT_TRUE(WriteProgram(root + "/sfx", LinuxStubWith(files, packer::WriteOptionBlock(options), 0)));
    mkdir(out.c_str(), 0755);
    WriteText(out + "/big.bin", "old");
    RunResult r = RunDolm({"extract", root + "/sfx", "-C", out, "--overwrite"}, {}, 1 << 20);
    EXPECT_TRUE(Exited(r, 1, "big.bin"));
    EXPECT_TRUE(Contains(r.err, "File too large")) << r.err;
    Args left = FolderEntries(out);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (record ? Args{"big.bin", "small.txt"} : Args{"small.txt"}));
    if (record) EXPECT_EQ(ReadText(out + "/big.bin"), "old");
  }
}

// Archives made with the packer directly can hold any name; the tool must
// flag the unsafe and the unreadable ones in list, fail test and refuse to
// extract them.
TEST(ToolNames, ListFlagsTestFailsExtractRefusesUnsafeStoredNames) {
  const Args none, cp932 = {"--codepage", "932"};
  const std::vector<std::tuple<Args, Args, const char*>> cases = {  // names, code page options, reason
      {{"..\\evil.txt"}, none, "'..'"}, {{"sub\\..\\..\\evil.txt"}, none, "'..'"}, {{"\\abs.txt"}, none, "absolute"},
      {{"C:\\drive.txt"}, none, "drive"}, {{"dir\\AUX.dat"}, none, "reserved"}, {{"stream.txt:hidden"}, none, "':'"},
      {{"Same.txt", "same.TXT"}, none, "case"}, {{"x", "X\\y"}, none, "folder"},
      {{"good.txt", "x\x81.txt"}, cp932, "0x81 at offset 1 does not start a character of code page 932"},
      {{"good.txt", "\x95\x5C.txt"}, cp932, "0x5C at offset 1 is the second byte of a character"},
      {{"good.txt", "\xE9.txt"}, {"--codepage", "65001"}, "0xE9 at offset 0 is not valid UTF-8"},
  };
  for (const auto& [names, page, reason] : cases) {
    SCOPED_TRACE(names.back());
    const std::string root = MakeTempDir("tool-unsafe"), sfx = PackNames(root, names);
    RunResult list = RunDolm({"list", sfx}, page), test = RunDolm({"test", sfx}, page);
    EXPECT_TRUE(Exited(list, 0));
    for (const char* part : {"UNSAFE", reason}) EXPECT_TRUE(Contains(list.out, part)) << part << " in " << list.out;
    EXPECT_TRUE(Contains(RunDolm({"list", "--json", sfx}, page).out, "\"unsafe\": \""));
    EXPECT_TRUE(Exited(test, 1, "unsafe"));
    EXPECT_TRUE(Exited(RunDolm({"extract", sfx, "-C", root + "/deep/out"}, page), 1, reason));
    for (const char* path : {"/deep/evil.txt", "/deep/out/evil.txt", "/deep/out/good.txt"})
      EXPECT_FALSE(PathExists(root + path));
  }
  // Asked for explicitly, the '..' name is written where it points.
  const std::string root = MakeTempDir("tool-unsafe-allowed"), sfx = PackNames(root, {"..\\evil.txt"});
  EXPECT_EQ(RunDolm({"extract", sfx, "-C", root + "/in", "--allow-unsafe-paths"}).exitCode, 0);
  EXPECT_TRUE(PathExists(root + "/evil.txt"));
}

TEST(ToolDamage, TestNamesErrorAndOffsetAndExtractWritesNothing) {
  const std::string root = MakeTempDir("tool-damage");
  MakeInputs(root);
  ASSERT_EQ(Pack(root, root + "/good", {"--window", "32K"}).exitCode, 0);
  const std::vector<uint8_t> bytes = ReadFileBytes(root + "/good");
  const long stub = static_cast<long>(ReadFileBytes(StubPath("dolmsfx-linux")).size());
  const long header = stub + 40 + 73;  // the settings record of the behaviour, names and Unix entries; no texts
  const long end = static_cast<long>(bytes.size());
  // The byte to flip or the length to cut at, the error, the earliest offset reported.
  const std::tuple<long, bool, const char*, long> cases[] = {
      {stub + 8, false, "settings record fails its check", stub},
      {header, false, "Error #21", header},               // marker
      {header + 33, false, "Error #1", header},           // archive header CRC
      {header + 36 + 12, false, "Error #6", header + 36},  // solid header
      {end - 3000, false, "Error #2", end - 3000},        // data block
      {end - 700, true, "Error #4", end - 700},           // truncated
  };
  for (const auto& [position, cut, error, earliest] : cases) {
    SCOPED_TRACE(error);
    std::vector<uint8_t> damaged = bytes;
    if (cut) damaged.resize(static_cast<size_t>(position));
    else damaged[static_cast<size_t>(position)] ^= 0x5A;
    const std::string file = root + "/damaged", out = root + "/out-" + std::to_string(position);
    WriteFileBytes(file, damaged);
    RunResult test = RunDolm({"test", file}), extract = RunDolm({"extract", file, "-C", out});
    const size_t at = test.err.find("byte offset ");
    const long offset = at == std::string::npos ? -1 : std::atol(test.err.c_str() + at + 12);
    EXPECT_TRUE(Exited(test, 1, error));
    EXPECT_GE(offset, earliest) << test.err;
    EXPECT_LE(offset, static_cast<long>(damaged.size())) << test.err;
    // The record asks for the whole archive to be checked first: nothing is written.
    EXPECT_TRUE(Exited(extract, 1, error));
    EXPECT_FALSE(PathExists(out)) << extract.err;
  }
}

TEST(ToolCommandLine, BadInputGivesClearMessageAndExitCodeAndWritesNothing) {
  const std::string root = MakeTempDir("tool-cli"), text = root + "/plain.txt", x = root + "/x";
  WriteFileBytes(text, TextLikeBytes(4000, 9));
  std::vector<std::tuple<Args, int, std::string>> cases = {  // arguments, exit code, mentioned text
      {{"frobnicate"}, 2, "frobnicate"}, {{"pack", "-o", x}, 2, "input"}, {{"pack", text}, 2, "-o"},
      {{"pack", "-o", x, "--stub", "linux", root + "/missing"}, 1, root + "/missing"},
      {{"pack", "-o", x, "--stub", "linux", "--window", "3K", text}, 2, "3K"},
      {{"pack", "-o", x, "--stub", "linux", "--level", "0", text}, 2, "--level"},
      {{"pack", "-o", x, "--stub", text, text}, 1, "signature"},
      {{"pack", "-o", root, "--stub", "linux", text}, 1, "folder"},
      {{"list", text}, 1, "Error #"}, {{"test"}, 2, "archive"}, {{"extract", text, "--bogus"}, 2, "--bogus"},
  };
  // Names that Windows cannot take are refused.
  const std::vector<Args> names = {{"CON"}, {"nul.txt"}, {"Lpt1.log"}, {"com9"}, {"a:b"}, {"what?"}, {"trailing."},
                                   {"Readme.txt", "README.TXT"}, {"back\\slash"}};
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string in = root + "/in" + std::to_string(i);
    mkdir(in.c_str(), 0755);
    for (const auto& name : names[i]) WriteText(in + "/" + name, "x");
    cases.push_back({{"pack", "-o", x, "--stub", "linux", in}, 1, names[i].back()});
  }
  for (const auto& [args, exitCode, mention] : cases) EXPECT_TRUE(Exited(RunDolm(args), exitCode, mention)) << args[0];
  EXPECT_TRUE(NoOutputAt(x));
  RunResult help = RunDolm({"pack", "--help"});
  EXPECT_TRUE(Exited(help, 0));
  EXPECT_EQ(help.out.substr(0, 11), "Usage: dolm");
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
    RunResult packed = RunDolm(Args{"pack", "-o", dir + "/out", "--stub", "linux", "--classic", input}, c.options);
    EXPECT_EQ(packed.exitCode, c.exit) << c.file << packed.err;
    const std::string shown = c.exit != 0 ? packed.err : RunDolm({"list", "--json", dir + "/out"}, c.options).out;
    EXPECT_TRUE(Contains(shown, c.expect)) << shown;
    EXPECT_EQ(PathExists(dir + "/out"), c.exit == 0);
  }
}

// One table for both readers of stored names: dolm extract and the Linux stub
// must give every name the same UTF-8 form.
TEST(CodePage, StoredNamesReadAsUtf8ByListExtractAndTheLinuxStub) {
  const std::vector<std::pair<std::string, std::string>> names = {  // stored bytes, read
      {"r\xE9sum\xE9.txt", "résumé.txt"}, {"\xC6r\xF8.txt", "Ærø.txt"},
      {"na\xEFve caf\xE9.txt", "naïve café.txt"}, {"utf8-é.txt", "utf8-é.txt"},
      {"\x80 \x9F.txt", "€ Ÿ.txt"},
      {"caf\x81.txt", "caf\u0081.txt"},  // undefined in 1252: the character of the same number
      {"\x8D\x8F\x90\x9D.txt", "\u008D\u008F\u0090\u009D.txt"},
      {"\xE9t\xE9\\utf8-é\\\xE9.txt", "été/utf8-é/é.txt"},  // each folder by itself
  };
  std::vector<std::string> stored;
  for (const auto& name : names) stored.push_back(name.first);
  const std::string dir = MakeTempDir("codepage-read"), sfx = PackNames(dir, stored);
  RunResult extracted = RunDolm({"extract", sfx, "-C", dir + "/tool"});
  EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_EQ(RunProgram({sfx, "-or", dir + "/stub"}).exitCode, 0);
  for (const auto& [bytes, read] : names) {
    SCOPED_TRACE(read);
    EXPECT_TRUE(PathExists(dir + "/tool/" + read));
    EXPECT_TRUE(PathExists(dir + "/stub/" + read));
  }
  EXPECT_EQ(FilesBelow(dir + "/tool"), FilesBelow(dir + "/stub"));
}

TEST(CodePage, HostileNamesPrintNoControlAndJsonStaysStrictUtf8) {
  const std::string dir = MakeTempDir("codepage-hostile"),
                    sfx = PackNames(dir, {"evil\x1b[2K\x1b[1A.txt", "over\xC0\xAF" "long.txt", "sur\xED\xA0\x80.txt",
                                          "c1\xC2\x9B" "31m.txt"});
  for (const char* command : {"list", "test", "extract"}) {
    RunResult run = RunDolm({command, sfx}, std::string(command) == "extract" ? Args{"-C", dir + "/out"} : Args{});
    for (const std::string& text : {run.out, run.err})
      for (const char* control : {"\x1b", "\xC2\x9B"}) EXPECT_FALSE(Contains(text, control)) << command << text;
    EXPECT_TRUE(Contains(run.out + run.err, "evil\\x1b[2K\\x1b[1A.txt")) << command;
  }
  // In 65001 the overlong form and the surrogate are unreadable and shown by their bytes.
  for (const Args& page : {Args{}, Args{"--codepage", "65001"}}) {
    WriteText(dir + "/list.json", RunDolm({"list", "--json", sfx}, page).out);
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

// The one name rule, both ways an archive stores names: recorded UTF-8 is
// taken strictly as it is; 8-bit names part by part as before.
TEST(StoredNameRule, RecordedUtf8IsStrictClassicNamesKeepTheirRule) {
  const struct { std::string stored; StoredNames names; bool read; std::string utf8; } cases[] = {
      {"café\\日本語\\Ωmega.txt", StoredNames::kUtf8, true, "café\\日本語\\Ωmega.txt"},
      {"emoji-\xF0\x9F\x98\x80.txt", StoredNames::kUtf8, true, "emoji-😀.txt"},
      {"caf\xE9.txt", StoredNames::kUtf8, false, ""},             // 1252 is no guess here
      {"over\xC0\xAFlong", StoredNames::kUtf8, false, ""},        // overlong '/'
      {"sur\xED\xA0\x80.txt", StoredNames::kUtf8, false, ""},     // a surrogate
      {"cut\xE6\x97", StoredNames::kUtf8, false, ""},             // a sequence cut off
      {"caf\xE9.txt", StoredNames::kCodePage, true, "café.txt"},
      {"\xE9t\xE9\\utf8-é", StoredNames::kCodePage, true, "été\\utf8-é"},
  };
  for (const auto& c : cases) {
    char out[64];
    EXPECT_EQ(StoredNameToUtf8(c.stored.data(), c.stored.size(), c.names, out, sizeof out), c.read) << c.stored;
    if (c.read) EXPECT_EQ(std::string(out), c.utf8);
  }
  char small[8];
  EXPECT_FALSE(StoredNameToUtf8("日本語.txt", 13, StoredNames::kUtf8, small, sizeof small));
  EXPECT_EQ(FirstNonUtf8Byte("ab\xE6\x97", 4), 2u);
}

// Names in three scripts in one archive: pack stores them as UTF-8 with the
// record, and list, extract and the Linux stub give them back as they were.
TEST(Utf8Names, OneArchiveHoldsEveryScriptAndReadsItBack) {
  const Args names = {"café.txt", "日本語.txt", "Ωmega.txt"};
  const std::string dir = MakeTempDir("utf8-names");
  mkdir((dir + "/src").c_str(), 0755);
  for (const auto& name : names) WriteText(dir + "/src/" + name, name);
  ASSERT_TRUE(Exited(RunDolm({"pack", "-o", dir + "/sfx", "--stub", "linux", "--codepage", "932", "-C", dir + "/src", "."}), 0));
  const std::string json = RunDolm({"list", "--json", dir + "/sfx"}).out;
  for (const std::string& part : {R"("utf8Names": true)", R"("ansiCodePage": 932)", R"("name": "café.txt", "size")",
                                  R"("name": "日本語.txt", "size")", R"("name": "Ωmega.txt", "size")"})
    EXPECT_TRUE(Contains(json, part)) << part << json;
  EXPECT_TRUE(Contains(RunDolm({"list", dir + "/sfx"}).out, "Names:            UTF-8 (Windows 95/98: code page 932)"));
  EXPECT_TRUE(Exited(RunDolm({"test", dir + "/sfx"}), 0));
  ASSERT_TRUE(Exited(RunDolm({"extract", dir + "/sfx", "-C", dir + "/tool"}), 0));
  ASSERT_TRUE(Exited(RunProgram({dir + "/sfx", dir + "/stub"}), 0));
  for (const char* out : {"/tool", "/stub"}) EXPECT_EQ(FilesBelow(dir + out), FilesBelow(dir + "/src")) << out;
  // restub keeps the record; dropping it is refused while a name is not ASCII.
  EXPECT_TRUE(Exited(RunDolm({"restub", dir + "/sfx", "-o", dir + "/kept", "--stub", "linux"}), 0));
  EXPECT_EQ(ReadFileBytes(dir + "/kept"), ReadFileBytes(dir + "/sfx"));
  EXPECT_TRUE(Exited(RunDolm({"restub", dir + "/sfx", "-o", dir + "/x", "--stub", "linux", "--classic"}), 2, "is not ASCII"));
  EXPECT_TRUE(Exited(RunDolm({"restub", dir + "/sfx", "-o", dir + "/cp", "--stub", "linux", "--codepage", "1250"}), 0));
  EXPECT_TRUE(Contains(RunDolm({"list", "--json", dir + "/cp"}).out, R"("ansiCodePage": 1250)"));
  // A name on disk that is not UTF-8 is refused, shown escaped.
  WriteText(dir + "/src/bad\xE9.txt", "x");
  EXPECT_TRUE(Exited(RunDolm({"pack", "-o", dir + "/bad", "--stub", "linux", "-C", dir + "/src", "."}), 1,
                     "bad\\xe9.txt' is not valid UTF-8"));
}

// A name that the record says is UTF-8 and is not: damage for every reader,
// and nothing is written.
TEST(Utf8Names, ANameThatIsNotUtf8IsDamage) {
  const std::string dir = MakeTempDir("utf8-damage");
  StoredOptions options{};
  options.extension.present = true;
  options.extension.utf8Names = true;
  options.extension.ansiCodePage = 1252;
  std::vector<packer::PackFile> files = {{"good.txt", {'d'}, 1000000000, 0x20}, {"caf\xE9.txt", {'d'}, 1000000000, 0x20}};
  ASSERT_TRUE(WriteProgram(dir + "/sfx", LinuxStubWith(files, packer::WriteOptionBlock(options), 0)));
  EXPECT_TRUE(Exited(RunDolm({"list", dir + "/sfx"}), 0, "0xE9 at offset 3 is not valid UTF-8"));
  EXPECT_TRUE(Exited(RunDolm({"test", dir + "/sfx"}), 1));
  EXPECT_TRUE(Exited(RunDolm({"extract", dir + "/sfx", "-C", dir + "/tool"}), 1, "0xE9 at offset 3"));
  RunResult stub = RunProgram({dir + "/sfx", dir + "/stub"});
  EXPECT_EQ(stub.exitCode, 4);
  EXPECT_TRUE(Contains(stub.err, "The stored name 'caf\\xe9.txt' is not valid UTF-8")) << stub.err;
  for (const char* out : {"/tool/good.txt", "/stub/good.txt"}) EXPECT_FALSE(PathExists(dir + out));
}

}  // namespace
