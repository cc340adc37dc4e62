// The appended archive's front: fixed bytes, locating the archive in stub files, and the errors of a damaged front.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "container/container.h"
#include "format/crc.h"
#include "format/format.h"
#include "packer/packer.h"
#include "startup/startup.h"
#include "support/append_stub.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

const std::string kSignature = DOLM_OVERLAY_SIGNATURE;
const uint32_t kWord = kOverwriteKeepRecreate | OptionWord({kPromptUserForOptions});  // stored as 15 01 00 00

// A stand-in stub image: filler with one signature copy (and its zero) inside.
Bytes FakeImage(size_t before = 3000, size_t after = 700) {
  return Join(Join(RandomBytes(before, 7), Bytes(kSignature.begin(), kSignature.end() + 1)), RandomBytes(after, 8));
}

Bytes Front(const std::string& tempFolder = "", const std::string& execText = "\"[setup.exe]\"", uint8_t profile = 6) {
  const auto header = packer::MakeArchiveHeader(profile);
  return Join(packer::WriteOptionBlock(kWord, tempFolder, execText), Bytes(header.begin(), header.end()));
}

// Image and tail as the archive file of a run that has not located anything.
struct Opened {
  ArchiveFile archive{};
  StoredOptions options{};
  Faults faults{{kNoError, 0, -1, {}, {}}, false};
  Opened(const Bytes& image, const Bytes& tail) {
    const std::string path = MakeTempDir("container") + "/pack.bin";
    WriteFileBytes(path, Join(image, tail));
    EXPECT_TRUE(OpenArchive(path.c_str(), &archive, &faults).ok());
  }
  ~Opened() { CloseArchive(&archive); }
};

TEST(ArchiveFront, SampleBytesAndAppendingToAStub) {
  const Bytes front = Front();
  const std::string block = kSignature + std::string("\0\0\0\0\x0D\0\0\0\0\0\0\0\x15\x01\0\0", 16) + "\"[setup.exe]\"";
  EXPECT_EQ(front, Join(Bytes(block.begin(), block.end()), HexBytes("554C4542 31303600 24000000 6A000000 00FA0000 "
                                                                     "00000000 00000000 00006400 DEDA57C2")));
  EXPECT_TRUE(IsValidArchiveHeader(&front[front.size() - 36]));
  // The image must hold exactly one signature, and the archive may start at offset 250,478 at most.
  const std::string dir = MakeTempDir("append"), out = dir + "/out";
  for (const auto& [image, accepted] : {std::pair(FakeImage(), true),
                                        std::pair(FakeImage(kMaxArchiveStart - 58 - 700, 700), true),
                                        std::pair(FakeImage(kMaxArchiveStart - 58 - 699, 700), false),
                                        std::pair(Join(FakeImage(), FakeImage()), false),
                                        std::pair(RandomBytes(1000, 3), false)}) {
    WriteFileBytes(dir + "/stub", image);
    std::remove(out.c_str());
    const std::string error = AppendToStub(dir + "/stub", front, out);
    struct stat st;
    ASSERT_EQ(error.empty(), accepted) << error;
    ASSERT_EQ(stat(out.c_str(), &st) == 0, accepted) << error;
    EXPECT_FALSE(PathExists(out + ".part"));
    if (!accepted) continue;
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(ReadFileBytes(out), Join(image, front));
  }
}

TEST(LocateArchive, FindsTheSecondSignatureAndLoadsTheOptionsOnce) {
  const Bytes image = FakeImage();
  const Bytes front = Front("C:\\TEMP\\" DOLM_TEMP_MARKER, packer::MakeExecuteText("tools\\setup.exe", "/q /r"), 3);
  Opened f(image, Join(front, {0x0D}));  // a first byte behind the header
  ASSERT_TRUE(ReadArchiveSettings(&f.archive, &f.options, &f.faults).ok());
  const long p = static_cast<long>(image.size() + front.size() - 36);
  EXPECT_EQ(std::tuple(f.archive.optionBlockPos, std::ftell(f.archive.file)), std::tuple(p, p));
  EXPECT_EQ(std::string(f.options.tempFolder) + "|" + f.options.execFile + "|" + f.options.execArgs,
            "C:\\TEMP\\|tools\\setup.exe|/q /r");
  EXPECT_EQ(std::tuple(f.options.record.optionWord, SolidFlagOf(f.archive.header), ProfileIndexOf(f.archive.header)),
            std::tuple(kWord, 1, 3));
  // Later locates only seek: the option block is not read again.
  std::strcpy(f.options.execFile, "changed");
  ASSERT_EQ(CheckArchiveHeader(&f.archive, &f.options, &f.faults).error, kNoError);
  ASSERT_EQ(std::ftell(f.archive.file), p + 36);
  ASSERT_EQ(LocateArchive(&f.archive, &f.options, &f.faults).error, kNoError);
  ASSERT_EQ(std::ftell(f.archive.file), p);
  EXPECT_STREQ(f.options.execFile, "changed");
}

TEST(LocateArchive, DamagedFrontsGiveTheirErrorAndOffset) {
  const Bytes image = FakeImage(), front = Front();
  const size_t h = front.size() - 36;  // the header's offset in the front
  const long p = static_cast<long>(image.size() + h);
  auto flip = [&](size_t at, uint8_t bits) { Bytes tail = front; tail[at] ^= bits; return tail; };
  const struct { const char* what; Bytes image, tail; ErrorNumber error; long offset; } cases[] = {
      {"no signature at all", RandomBytes(5000, 1), RandomBytes(100, 2), kErrorFirstOptions, -1},
      {"stub without archive", image, RandomBytes(100, 2), kErrorSecondOptions, -1},
      {"archive beyond the window", FakeImage(3000, kSearchWindow), front, kErrorSecondOptions, -1},
      {"signature runs past the window", FakeImage(kMaxArchiveStart - 58 - 9, 10), front, kErrorSecondOptions, -1},
      {"signature ends at the window's end", FakeImage(kMaxArchiveStart - 58 - 10, 10), front, kNoError, -1},
      {"options record cut short", image, Bytes(front.begin(), front.begin() + 67), kErrorReadOptions, -1},
      {"execute text cut short", image, Bytes(front.begin(), front.begin() + 78), kErrorReadOptions, -1},
      {"marker", image, flip(h, 'X' ^ 'U'), kErrorMarker, p + 4},
      {"tag", image, flip(h + 17, 250), kErrorNotArchive, p},
      {"header CRC", image, flip(front.size() - 1, 0x80), kErrorNotArchive, p},
      {"header cut short", image, Bytes(front.begin(), front.end() - 10), kErrorNotArchive, p},
  };
  for (const auto& c : cases) {
    Opened f(c.image, c.tail);
    EXPECT_EQ(ReadArchiveSettings(&f.archive, &f.options, &f.faults).error, c.error) << c.what;
    EXPECT_EQ(std::tuple(f.faults.first.error, f.faults.first.offset), std::tuple(c.error, c.offset)) << c.what;
  }
}

// A record around `entries` (type, length, value each), with the trailer's
// fields as given: by default those a correct record has.
Bytes Record(const Bytes& entries, int64_t size = -1, uint16_t version = kExtensionVersion, uint32_t crcFlip = 0) {
  Bytes out = entries;
  AppendLe32(out, size < 0 ? static_cast<uint32_t>(entries.size() + kExtensionTrailerSize) : static_cast<uint32_t>(size));
  out.insert(out.end(), {static_cast<uint8_t>(version), static_cast<uint8_t>(version >> 8), 0, 0});
  AppendLe32(out, Crc32Of(out.data(), static_cast<uint32_t>(out.size())) ^ crcFlip);
  AppendLe32(out, kExtensionMagic);
  return out;
}
Bytes Entry(uint16_t type, const std::string& value) {
  Bytes out = {static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8)};
  AppendLe32(out, static_cast<uint32_t>(value.size()));
  return Join(out, Text(value));
}

TEST(ExtensionRecord, ParsesWhatTheWriterWritesAndRefusesDamage) {
  ExtensionRecord written{true, 0, kBehaveExitCodes | kBehaveProgress, nullptr, 0, nullptr, 0, true, 932, true, 0};
  const std::string title = "Acme Setup", licence = "Terms\r\nline 2";
  written.title = reinterpret_cast<const uint8_t*>(title.data());
  written.titleLength = static_cast<uint32_t>(title.size());
  written.licence = reinterpret_cast<const uint8_t*>(licence.data());
  written.licenceLength = static_cast<uint32_t>(licence.size());
  const Bytes good = packer::WriteExtensionRecord(written);
  const std::string behaviour("\x11\0\0\0", 4);
  const Bytes cut = Entry(kEntryTitle, "abc");
  const Bytes known = Join(Entry(kEntryBehaviour, behaviour), Entry(kEntryTitle, "T"));
  const struct { const char* what; Bytes bytes; ExtensionStatus status; uint16_t unknown; } cases[] = {
      {"as written", good, ExtensionStatus::kValid, 0},
      {"no magic: a classic archive", Bytes(good.begin(), good.end() - 1), ExtensionStatus::kAbsent, 0},
      {"too short for the magic", Bytes(3, 0), ExtensionStatus::kAbsent, 0},
      {"magic alone", Text("DLMX"), ExtensionStatus::kDamaged, 0},
      {"size field wrong", Record(known, 99), ExtensionStatus::kDamaged, 0},
      {"CRC wrong", Record(known, -1, 1, 4), ExtensionStatus::kDamaged, 0},
      {"version 0", Record(known, -1, 0), ExtensionStatus::kDamaged, 0},
      {"later version, known entries", Record(known, -1, 7), ExtensionStatus::kValid, 0},
      {"entry header cut", Record(Join(known, Bytes(5, 0))), ExtensionStatus::kDamaged, 0},
      {"entry runs past the end", Record(Bytes(cut.begin(), cut.end() - 1)),
       ExtensionStatus::kDamaged, 0},
      {"behaviour shorter than 4", Record(Entry(kEntryBehaviour, "ab")), ExtensionStatus::kDamaged, 0},
      {"title twice", Record(Join(known, Entry(kEntryTitle, "U"))), ExtensionStatus::kDamaged, 0},
      {"names entry without its code page", Record(Join(known, Entry(kExtensionRequired | kEntryUtf8Names, "x"))),
       ExtensionStatus::kDamaged, 0},
      {"unknown optional entry", Record(Join(Entry(77, "xyz"), known)), ExtensionStatus::kValid, 0},
      {"unknown required entry", Record(Join(known, Entry(kExtensionRequired | 77, ""))), ExtensionStatus::kNeedsNewer, 77},
      {"required and damaged", Record(Join(Entry(kExtensionRequired | 9, ""), Bytes(2, 0))), ExtensionStatus::kDamaged, 0},
  };
  for (const auto& c : cases) {
    ExtensionRecord read;
    EXPECT_EQ(ParseExtensionRecord(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), &read), c.status) << c.what;
    EXPECT_EQ(std::tuple(read.present, read.unknownRequired), std::tuple(c.status == ExtensionStatus::kValid, c.unknown))
        << c.what;
  }
  ExtensionRecord read;
  ASSERT_EQ(ParseExtensionRecord(good.data(), static_cast<uint32_t>(good.size()), &read), ExtensionStatus::kValid);
  EXPECT_EQ(std::tuple(read.size, read.behaviour, std::string(reinterpret_cast<const char*>(read.title), read.titleLength),
                       std::string(reinterpret_cast<const char*>(read.licence), read.licenceLength), read.utf8Names,
                       read.ansiCodePage, read.unixModes),
            std::tuple(static_cast<uint32_t>(good.size()), written.behaviour, title, licence, true, uint16_t{932}, true));
  EXPECT_EQ(packer::WriteExtensionRecord(read), good);
}

TEST(LocateArchive, LoadsTheRecordInFrontOfTheSignatureThroughTheThirdField) {
  const Bytes image = FakeImage(), header = Front();
  const Bytes record = Record(Entry(kEntryBehaviour, std::string("\x1F\0\0\0", 4)));
  const uint32_t s = static_cast<uint32_t>(record.size());
  auto front = [&](uint32_t third) {
    return Join(packer::WriteOptionBlock(kWord, "", "\"[setup.exe]\"", third), Bytes(header.end() - 36, header.end()));
  };
  const Bytes newer = Record(Entry(kExtensionRequired | 99, ""));
  Bytes damaged = record;
  damaged[0] ^= 1;
  const struct { const char* what; Bytes image, tail; ErrorNumber error; bool present; } cases[] = {
      {"record", image, Join(record, front(s)), kNoError, true},
      {"third field 0: classic", image, Join(record, front(0)), kNoError, false},
      {"third field of another maker", image, front(12345), kNoError, false},
      {"third field past the file's start", image, front(0x7FFFFFF0), kNoError, false},
      {"damaged record", image, Join(damaged, front(s)), kStopDamagedRecord, false},
      {"magic with a size out of bounds", image, Join(record, front(kExtensionMaxSize + 1)), kStopDamagedRecord, false},
      {"unknown required entry", image, Join(newer, front(static_cast<uint32_t>(newer.size()))), kStopNeedsNewer, false},
  };
  for (const auto& c : cases) {
    Opened f(c.image, c.tail);
    EXPECT_EQ(ReadArchiveSettings(&f.archive, &f.options, &f.faults).error, c.error) << c.what;
    EXPECT_EQ(std::tuple(f.options.extension.present, Asks(f.options, kBehaveProgress), !c.present || f.options.extension.size == s),
              std::tuple(c.present, c.present, true)) << c.what;
    if (c.error == kNoError) EXPECT_EQ(f.archive.optionBlockPos, static_cast<long>(c.image.size() + c.tail.size() - 36)) << c.what;
    ReleaseExtension(&f.options);
  }
  // Both refusals have a message that names the archive.
  for (ErrorNumber stop : {kStopDamagedRecord, kStopNeedsNewer}) {
    char text[520];
    FormatErrorText(Fault{stop, 0, -1, {}, {}}, "setup.exe", text, sizeof text);
    EXPECT_TRUE(Contains(text, "Archive 'setup.exe' ")) << stop;
  }
}

TEST(LinuxStub, RunWithoutFolderExtractsIntoAPrivateFolderBelowTheTemporaryFolder) {
  const std::string stub = StubPath("dolmsfx-linux"), dir = MakeTempDir("run");
  if (ReadFileBytes(stub).size() > kMaxArchiveStart) GTEST_SKIP() << "this build's stub is too large (sanitizers)";
  packer::PackFile file{"docs\\" DOLM_TEMP_MARKER "readme.txt", TextLikeBytes(5000, 4), 0, 0x20};
  const Bytes options = packer::WriteOptionBlock(OptionWord({kRecreateOriginalFolders}), "", "");
  ASSERT_EQ(AppendToStub(stub, packer::BuildArchive({file}, options, 0, 1), dir + "/pack"), "");
  mkdir((dir + "/tmp").c_str(), 0777);
  setenv("TMPDIR", (dir + "/tmp").c_str(), 1);
  RunResult r = RunProgram({dir + "/pack"});
  unsetenv("TMPDIR");
  const std::vector<std::string> made = FolderEntries(dir + "/tmp");
  ASSERT_EQ(made.size(), 1u) << r.err;
  struct stat st;
  ASSERT_EQ(stat((dir + "/tmp/" + made[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(Exited(r, 0));
  EXPECT_EQ(ReadFileBytes(dir + "/tmp/" + made[0] + "/readme.txt"), file.data);
}

}  // namespace
