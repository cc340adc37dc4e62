// Branded Windows self-extractors: the resource writer on both stubs, read
// back by our reader and by wrestool (icoutils), and what `dolm pack` refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "format/format.h"
#include "packer/pe_resources.h"
#include "support/crafted_pe.h"
#include "support/test_support.h"

namespace {

using packer::Bytes;

void Put(Bytes& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A .ico of square images: side 256 is stored as a PNG, the others as 32-bit bitmaps.
Bytes MakeIco(const std::vector<int>& sides, uint32_t seed) {
  Bytes directory, images;
  Put(directory, 0, 2), Put(directory, 1, 2), Put(directory, static_cast<uint32_t>(sides.size()), 2);
  for (int side : sides) {
    Bytes image;
    if (side == 256) {
      image = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    } else {
      Put(image, 40, 4), Put(image, side, 4), Put(image, 2 * side, 4), Put(image, 1, 2), Put(image, 32, 2);
      image.resize(40);
    }
    Bytes pixels = RandomBytes(side == 256 ? 20000 : side * side * 4 + side * 4, seed++);
    image.insert(image.end(), pixels.begin(), pixels.end());
    Put(directory, side & 0xFF, 1), Put(directory, side & 0xFF, 1), Put(directory, 0, 2);
    Put(directory, 1, 2), Put(directory, 32, 2), Put(directory, static_cast<uint32_t>(image.size()), 4);
    Put(directory, static_cast<uint32_t>(6 + 16 * sides.size() + images.size()), 4);
    images.insert(images.end(), image.begin(), image.end());
  }
  directory.insert(directory.end(), images.begin(), images.end());
  return directory;
}

Bytes Utf16(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) Put(out, static_cast<uint8_t>(c), 2);
  return out;
}

bool Holds(const Bytes& data, const Bytes& part) {
  return std::search(data.begin(), data.end(), part.begin(), part.end()) != data.end();
}

RunResult RunDolm(std::vector<std::string> args) {
  args.insert(args.begin(), BuildDir() + "/dolm");
  return RunProgram(args);
}

bool HaveWindowsStubs() {
  return PathExists(StubPath("dolmsfx-win32.exe")) && PathExists(StubPath("dolmsfx-win64.exe"));
}

TEST(Branding, WriterRoundTripsOnBothStubsAndWrestoolAgrees) {
  if (!HaveWindowsStubs() || !PathExists("/usr/bin/wrestool")) GTEST_SKIP() << "Windows stubs or wrestool missing";
  const std::string longText(900, 'x');
  struct Case {
    std::vector<int> sides;
    std::vector<std::pair<std::string, std::string>> version;
  };
  const std::vector<Case> cases = {
      {{32}, {{"FileDescription", longText}, {"Comments", longText + "y"}, {"FileVersion", "2.4.1.0"}}},
      {{16, 24, 32, 48, 64, 128, 256}, {{"ProductName", "Acme Tools"}, {"LegalCopyright", "(c) 2026 Acme"}}},
  };
  std::string root = MakeTempDir("branding-rt");
  for (const char* stub : {"dolmsfx-win32.exe", "dolmsfx-win64.exe"}) {
    for (size_t c = 0; c < cases.size(); ++c) {
      SCOPED_TRACE(std::string(stub) + " case " + std::to_string(c));
      Bytes image = ReadFileBytes(StubPath(stub)), ico = MakeIco(cases[c].sides, 7 * c + 1);
      std::vector<packer::Resource> before, after;
      ASSERT_EQ(packer::ReadResources(image, before), "");
      ASSERT_EQ(packer::BrandImage(image, {ico, cases[c].version, "requireAdministrator"}), "");
      ASSERT_EQ(packer::ReadResources(image, after), "");
      // Every resource but the icons is kept byte for byte; 14, 16 and 24 are new.
      size_t kept = 0;
      for (const auto& old : before)
        for (const auto& now : after)
          kept += old.type.id != packer::kRtIcon && old.type.id != packer::kRtGroupIcon && now.type == old.type &&
                  now.name == old.name && now.language == old.language && now.data == old.data;
      EXPECT_EQ(kept, before.size() - 3);  // the default icon: two images and their group
      EXPECT_EQ(after.size(), kept + cases[c].sides.size() + 3);

      const std::string file = root + "/" + stub + std::to_string(c);
      WriteFileBytes(file, image);
      RunResult list = RunProgram({"/usr/bin/wrestool", "-l", file});
      for (const char* part : {"type=group_icon", "type=version", "--type=24 --name=1", "--type=5 --name=103"})
        EXPECT_TRUE(Contains(list.out, part)) << part << "\n" << list.out << list.err;
      // wrestool writes a few bytes past the icon file; what comes first must be it.
      ASSERT_EQ(RunProgram({"/usr/bin/wrestool", "-x", "-t14", "-o", file + ".ico", file}).exitCode, 0);
      Bytes extracted = ReadFileBytes(file + ".ico");
      ASSERT_GE(extracted.size(), ico.size());
      extracted.resize(ico.size());
      EXPECT_EQ(extracted, ico);
      ASSERT_EQ(RunProgram({"/usr/bin/wrestool", "-x", "--raw", "-t16", "-o", file + ".ver", file}).exitCode, 0);
      Bytes version = ReadFileBytes(file + ".ver");
      for (const auto& field : cases[c].version) EXPECT_TRUE(Holds(version, Utf16(field.second))) << field.first;
      ASSERT_EQ(RunProgram({"/usr/bin/wrestool", "-x", "--raw", "-t24", "-o", file + ".xml", file}).exitCode, 0);
      EXPECT_TRUE(Contains(ReadText(file + ".xml"), "level=\"requireAdministrator\""));
    }
  }
}

TEST(Branding, PackIsReproducibleSignsKeepingTheRecordAndExtracts) {
  if (!HaveWindowsStubs()) GTEST_SKIP() << "Windows stubs missing";
  std::string root = MakeTempDir("branding-pack");
  mkdir((root + "/in").c_str(), 0755);
  WriteFileBytes(root + "/in/data.bin", TextLikeBytes(50000, 3));
  WriteFileBytes(root + "/app.ico", MakeIco({16, 256}, 9));
  WriteText(root + "/licence.txt", "Terms of use\r\n");
  std::vector<std::string> pack = {"pack", "--stub", "win64", "--icon", root + "/app.ico", "--version-info",
                                   "ProductName=Acme", "--execution-level", "asInvoker", "--title", "Acme Setup",
                                   "--confirm", root + "/licence.txt", root + "/in", "-o"};
  for (const char* out : {"/a.exe", "/b.exe"}) {
    pack.push_back(root + out);
    RunResult r = RunDolm(pack);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    pack.pop_back();
  }
  Bytes a = ReadFileBytes(root + "/a.exe");
  EXPECT_EQ(a, ReadFileBytes(root + "/b.exe"));
  const size_t field = (a[0x3C] | a[0x3D] << 8) + 24 + 64;  // the checksum covers the whole file
  EXPECT_EQ(packer::PeChecksum(a, {}), a[field] | a[field + 1] << 8 | a[field + 2] << 16 | uint32_t{a[field + 3]} << 24);
  if (!PathExists("/usr/bin/osslsigncode")) GTEST_SKIP() << "osslsigncode missing: signing not tried";
  ASSERT_EQ(RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", root + "/key.pem",
                        "-out", root + "/cert.pem", "-days", "2", "-subj", "/CN=dolm test"}).exitCode, 0);
  RunResult sign = RunProgram({"/usr/bin/osslsigncode", "sign", "-certs", root + "/cert.pem", "-key",
                               root + "/key.pem", "-in", root + "/a.exe", "-out", root + "/signed.exe"});
  ASSERT_EQ(sign.exitCode, 0) << sign.out << sign.err;
  // Signing appends after the archive: the settings record before the signature is read as written.
  const std::string json = RunDolm({"list", "--json", root + "/signed.exe"}).out;
  EXPECT_TRUE(Contains(json, "\"behaviour\": 31") && Contains(json, "\"title\": \"Acme Setup\"") &&
              Contains(json, "\"licence\": \"Terms of use\\u000d\\u000a\"")) << json;
  EXPECT_GT(ReadFileBytes(root + "/signed.exe").size(), a.size());
  ASSERT_EQ(RunDolm({"extract", root + "/signed.exe", "-C", root + "/out"}).exitCode, 0);
  EXPECT_EQ(ReadFileBytes(root + "/out/in/data.bin"), TextLikeBytes(50000, 3));
}

TEST(Branding, PackRefusesBadIconsStubsAndOptions) {
  if (!HaveWindowsStubs()) GTEST_SKIP() << "Windows stubs missing";
  std::string root = MakeTempDir("branding-bad");
  WriteText(root + "/in", "x");
  const Bytes good = MakeIco({16, 32}, 5), stub = ReadFileBytes(StubPath("dolmsfx-win32.exe"));
  auto with = [](Bytes bytes, size_t at, std::vector<uint8_t> patch) {
    std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<long>(at));
    return bytes;
  };
  const uint32_t lfanew = stub[0x3C] | stub[0x3D] << 8;
  struct Case {
    Bytes ico, stubImage;
    std::vector<std::string> options;
    int exitCode;
    std::string message;
  };
  const std::vector<Case> cases = {
      {Bytes(good.begin(), good.begin() + 20), stub, {}, 1, "directory of 2 images ends past the file's 20 bytes"},
      {Bytes(good.begin(), good.end() - 1), stub, {}, 1, "image 2 of 2 ends at byte"},
      {with(good, 2, {2}), stub, {}, 1, "cursor file"},
      {with(good, 4, {0}), stub, {}, 1, "holds no images"},
      {with(good, 38, {'G', 'I', 'F'}), stub, {}, 1, "image 1 of 2 is neither a bitmap nor a PNG image"},
      {MakeIco(std::vector<int>(12, 256), 1), stub, {}, 1,
       "(" + std::to_string(stub.size()) + " without them); the archive must start at offset 250478"},
      {good, with(stub, 0x3C, {0xF0, 0xFF, 0xFF, 0}), {}, 1, "no PE header"},
      {good, with(stub, lfanew + 6, {0xFF}), {}, 1, "section table is damaged"},
      {good, with(stub, lfanew + 24 + 96 + 16, {0xF0, 0xFF, 0xFF}), {}, 1, "resource table lies outside every section"},
      {good, ReadFileBytes(StubPath("dolmsfx-linux")), {}, 2, "the Linux stub has none"},
      {good, stub, {"--version-info", "Author=me"}, 2, "'Author' is not a version field; use one of CompanyName"},
      {good, stub, {"--execution-level", "admin"}, 2, "not one of asInvoker, highestAvailable"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    WriteFileBytes(root + "/app.ico", cases[i].ico);
    WriteFileBytes(root + "/stub.exe", cases[i].stubImage);
    std::vector<std::string> args = {"pack", "-o", root + "/sfx.exe", "--stub", root + "/stub.exe", "--icon",
                                     root + "/app.ico", root + "/in"};
    args.insert(args.end(), cases[i].options.begin(), cases[i].options.end());
    EXPECT_TRUE(Exited(RunDolm(args), cases[i].exitCode, cases[i].message)) << i;
    EXPECT_TRUE(NoOutputAt(root + "/sfx.exe")) << i;
  }
}

// restub between the Windows stubs keeps what pack branded (read back with
// wrestool), and its branding options replace one part and keep the others.
TEST(Branding, RestubKeepsIconVersionAndManifestAndChangesWhatItIsTold) {
  if (!HaveWindowsStubs() || !PathExists("/usr/bin/wrestool")) GTEST_SKIP() << "Windows stubs or wrestool missing";
  std::string root = MakeTempDir("branding-restub");
  WriteText(root + "/in", "x");
  const Bytes ico = MakeIco({16, 48}, 21);
  WriteFileBytes(root + "/app.ico", ico);
  ASSERT_EQ(RunDolm({"pack", "-o", root + "/w32.exe", "--stub", "win32", "--icon", root + "/app.ico",
                     "--version-info", "ProductName=Acme Restub", "--execution-level", "requireAdministrator",
                     root + "/in"}).exitCode, 0);
  struct Case {
    std::vector<std::string> options;
    const char* level;
  } cases[] = {{{}, "requireAdministrator"}, {{"--execution-level", "asInvoker"}, "asInvoker"}};
  for (const auto& c : cases) {
    const std::string file = root + "/w64-" + c.level + ".exe";
    std::vector<std::string> args = {"restub", root + "/w32.exe", "--stub", "win64", "-o", file};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunResult r = RunDolm(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(RunDolm({"test", file}).exitCode, 0);
    ASSERT_EQ(RunProgram({"/usr/bin/wrestool", "-x", "-t14", "-o", file + ".ico", file}).exitCode, 0);
    Bytes extracted = ReadFileBytes(file + ".ico");
    ASSERT_GE(extracted.size(), ico.size());
    EXPECT_EQ(Bytes(extracted.begin(), extracted.begin() + static_cast<long>(ico.size())), ico);
    ASSERT_EQ(RunProgram({"/usr/bin/wrestool", "-x", "--raw", "-t16", "-o", file + ".ver", file}).exitCode, 0);
    EXPECT_TRUE(Holds(ReadFileBytes(file + ".ver"), Utf16("Acme Restub")));
    ASSERT_EQ(RunProgram({"/usr/bin/wrestool", "-x", "--raw", "-t24", "-o", file + ".xml", file}).exitCode, 0);
    EXPECT_TRUE(Contains(ReadText(file + ".xml"), "level=\"" + std::string(c.level) + "\"")) << c.level;
    Bytes image = ReadFileBytes(file);  // the checksum covers the new file
    const size_t field = (image[0x3C] | image[0x3D] << 8) + 24 + 64;
    EXPECT_EQ(packer::PeChecksum(image, {}), image[field] | image[field + 1] << 8 | image[field + 2] << 16 |
                                                 uint32_t{image[field + 3]} << 24);
  }
  RunResult linux = RunDolm({"restub", root + "/w32.exe", "--stub", "linux", "-o", root + "/l"});
  EXPECT_TRUE(Exited(linux, 0, "are left behind"));
}

// Crafted stubs and icons against the reader and writer in process, so that
// AddressSanitizer sees every access (no Windows stub needed).
TEST(Branding, CraftedStubsAndIconsAreRefusedBeforeAnyWriteOrLargeCopy) {
  const packer::Resource version{{packer::kRtVersion, {}}, {1, {}}, 0x409, 0, Bytes(3000, 'v')};
  const char* overlap = "its resource section overlaps its headers or section table";
  struct WriteCase { uint32_t lfanew, rsrcRaw; const char* error; } writes[] = {
      {0x40, 0x400, ""},
      {0x1000, 0, overlap},  // .rsrc from offset 0, the headers inside it
      {0x800000, 0x400, overlap},
      {0x40, 0x180, overlap},  // the last bytes of the section table
  };
  for (const auto& c : writes) {
    Bytes image = CraftPe(c.lfanew, c.rsrcRaw, CraftTree(1, false, 1024, 0));
    std::vector<packer::Resource> back;
    EXPECT_EQ(packer::WriteResources(image, {version}), c.error) << c.lfanew;
    if (*c.error != 0) continue;
    EXPECT_EQ(packer::ReadResources(image, back), "");
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].data, version.data);
  }
  const char* shared = "the resource tree has shared or overlapping entries";
  struct ReadCase { Bytes tree; const char* error; size_t leaves; } reads[] = {
      {CraftTree(3, false, 64, 64), "", 3},
      {CraftTree(100, true, 1 << 20, 0), shared, 0},  // one name table under every type
      {CraftTree(2, false, 64, 32), shared, 0},       // data of two leaves overlap
      {CraftTree(2, false, 64, 0), shared, 0},
  };
  for (const auto& c : reads) {
    std::vector<packer::Resource> found;
    EXPECT_EQ(packer::ReadResources(CraftPe(0x40, 0x400, c.tree), found), c.error);
    EXPECT_EQ(found.size(), c.leaves);
  }
  // .ico files whose entries (offset, size) share or overlap images, or hold too much.
  auto ico = [](std::vector<std::pair<uint32_t, uint32_t>> images, size_t size) {
    Bytes out(size);
    out[2] = 1, out[4] = static_cast<uint8_t>(images.size()), out[5] = static_cast<uint8_t>(images.size() >> 8);
    for (size_t i = 0; i < images.size(); ++i) {
      CraftedPut(out, 6 + 16 * i + 8, images[i].second, 4), CraftedPut(out, 6 + 16 * i + 12, images[i].first, 4);
      out[images[i].first] = 40;
    }
    return out;
  };
  const uint32_t mib = 1 << 20, at = 6 + 16 * 4096;
  const std::vector<std::pair<uint32_t, uint32_t>> oneImage(4096, {at, mib});
  struct IconCase { Bytes file; const char* error; } icons[] = {
      {ico({{38, 100}, {138, 100}}, 238), ""},
      {ico(oneImage, at + mib), "image 2 of 4096 shares bytes with image 1"},
      {ico({{138, 100}, {38, 101}}, 238), "image 2 of 2 shares bytes with image 1"},
      {ico({{38, 9 * mib}, {38 + 9 * mib, 9 * mib}}, 38 + 18 * mib), "more than 16 MiB"},
  };
  for (const auto& c : icons) {
    std::vector<Bytes> images;
    Bytes group;
    std::string error = packer::IconResources(c.file, 1, images, group);
    if (*c.error) EXPECT_TRUE(Contains(error, c.error)) << error;
    else EXPECT_EQ(std::tuple(error, images.size()), std::tuple("", 2u));
  }
}

}  // namespace
