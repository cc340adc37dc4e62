// Damaged archives: a sample archive of a few hundred KB, cut short at many
// offsets and with single bits flipped across every part of it, run through
// the Linux stub (with and without -i) and through `dolm test`. Every run
// must end by itself, without a signal, inside its memory, writing nothing
// outside its target folder, and with either a numbered error from the stub's
// table or an exact extraction.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "container/format.h"
#include "packer/packer.h"
#include "support/limited_run.h"
#include "support/test_support.h"

namespace {

constexpr int kTimeoutSeconds = 30;
constexpr long kAddressLimitMb = 256;                      // profile 1 needs about 1 MB of buffers
constexpr long kMaxRssKb = DOLM_TEST_UNDER_ASAN ? 400000 : 64000;

struct Region {
  const char* name;
  size_t begin, end;  // offsets in the archive
};

struct Sample {
  std::vector<packer::PackFile> files;
  std::vector<uint8_t> image;    // the stub
  std::vector<uint8_t> archive;  // appended behind it
  std::vector<Region> regions;
};

const Sample& TheSample() {
  static Sample sample = [] {
    Sample s;
    s.files = {{"setup.exe", TextLikeBytes(3000, 1), 946684800u, 0x20},
               {"docs\\readme.txt", TextLikeBytes(40000, 2), 1000000000u, 0x20},
               {"empty.txt", {}, 1000000000u, 0x20},
               {"data\\big.txt", TextLikeBytes(300000, 3), 1100000000u, 0x20},
               {"data\\noise.bin", RandomBytes(160000, 4), 1200000000u, 0x20},
               {"data\\deep\\tail.txt", TextLikeBytes(5000, 5), 1300000000u, 0x20}};
    packer::StoredOptions options;
    options.optionWord = 0x015;  // overwrite, keep attributes, recreate folders; silent
    s.archive = packer::BuildArchive(s.files, options, 1, 5);
    s.image = ReadFileBytes(StubPath("dolmsfx-linux"));
    const size_t front = packer::WriteOptionBlock(options).size();
    const size_t solid = packer::WriteSolidHeader(s.files).size();
    s.regions = {{"signature", 0, kSignatureLength},
                 {"options record", kSignatureLength, front},
                 {"archive header", front, front + kArchiveHeaderSize},
                 {"solid header count", front + kArchiveHeaderSize, front + kArchiveHeaderSize + 4},
                 {"solid header", front + kArchiveHeaderSize + 4, front + kArchiveHeaderSize + solid},
                 {"data blocks", front + kArchiveHeaderSize + solid, s.archive.size()}};
    return s;
  }();
  return sample;
}

const Region& RegionOf(size_t offset) {
  for (const Region& r : TheSample().regions)
    if (offset < r.end) return r;
  return TheSample().regions.back();
}

enum class Damage { kTruncate, kFlip };

struct Case {
  Damage kind;
  size_t offset;  // truncation length, or byte whose bit (offset % 8) flips
};

bool ExactExtraction(const std::string& out) {
  std::map<std::string, std::vector<uint8_t>> got;
  ListFilesBelow(out, "", got);
  if (got.size() != TheSample().files.size()) return false;
  for (const packer::PackFile& f : TheSample().files) {
    std::string name = f.name;
    for (char& c : name)
      if (c == '\\') c = '/';
    auto it = got.find(name);
    if (it == got.end() || it->second != f.data) return false;
  }
  return true;
}

struct Tally {
  std::mutex lock;
  std::vector<std::string> faults;
  std::map<int, int> errors;  // stub error number -> runs
  int exact = 0, silent = 0, ignored = 0, toolErrors = 0, toolWhole = 0;
};

std::string Describe(const Case& c, const char* run, const std::string& what) {
  char text[160];
  std::snprintf(text, sizeof text, "%s at archive offset %zu (%s), %s: ",
                c.kind == Damage::kTruncate ? "truncated" : "bit flipped", c.offset,
                RegionOf(c.offset).name, run);
  return text + what;
}

// Runs one damaged file three ways and records what each run did.
void RunCase(const Case& c, const std::string& area, Tally& tally) {
  const Sample& s = TheSample();
  std::vector<uint8_t> file = s.image;
  if (c.kind == Damage::kTruncate) {
    file.insert(file.end(), s.archive.begin(), s.archive.begin() + static_cast<long>(c.offset));
  } else {
    file.insert(file.end(), s.archive.begin(), s.archive.end());
    file[s.image.size() + c.offset] ^= static_cast<uint8_t>(1u << (c.offset % 8));
  }
  const std::string exe = area + "/sfx";
  if (!WriteProgram(exe, file)) {
    std::lock_guard<std::mutex> hold(tally.lock);
    tally.faults.push_back("cannot write " + exe);
    return;
  }
  const std::string settings = RegionOf(c.offset).name;
  // The options record carries no check: a flip there changes the settings
  // the run obeys, so only the safety of such runs is judged.
  const bool unchecked = settings == "options record";
  // A count that cannot be reserved for is refused without a message.
  const bool countField = settings == "solid header count";

  std::vector<std::string> faults;
  auto safe = [&](const LimitedResult& r, const char* run) {
    if (r.timedOut) faults.push_back(Describe(c, run, "did not end"));
    if (r.signal != 0) faults.push_back(Describe(c, run, "killed by signal " + std::to_string(r.signal)));
    if (r.maxRssKb > kMaxRssKb)
      faults.push_back(Describe(c, run, "used " + std::to_string(r.maxRssKb) + " KB"));
  };
  int stubError = -1;
  bool exact = false, silent = false;
  for (int ignore = 0; ignore < 2; ++ignore) {
    const std::string cwd = area + (ignore ? "/run-i" : "/run");
    mkdir(cwd.c_str(), 0755);
    std::vector<std::string> argv = {exe, "-s", "-o"};
    if (ignore) argv.push_back("-i");
    argv.push_back("out");
    const LimitedResult r = RunLimited(argv, cwd, kTimeoutSeconds, kAddressLimitMb);
    const char* run = ignore ? "stub -i" : "stub";
    safe(r, run);
    const std::vector<std::string> left = FolderEntries(cwd);
    if (left.size() > 1 || (left.size() == 1 && left[0] != "out"))
      faults.push_back(Describe(c, run, "wrote outside its target folder"));
    if (!ignore && r.signal == 0 && !r.timedOut) {
      stubError = StubErrorNumber(r.err);
      std::map<std::string, std::vector<uint8_t>> got;
      ListFilesBelow(cwd + "/out", "", got);
      exact = ExactExtraction(cwd + "/out");
      silent = got.empty() && r.err.empty();
      if (r.exitCode != 0) faults.push_back(Describe(c, run, "exit code " + std::to_string(r.exitCode)));
      if (stubError > 22) faults.push_back(Describe(c, run, "unknown error " + std::to_string(stubError)));
      if (stubError < 0 && !exact && !unchecked && !(countField && silent))
        faults.push_back(Describe(c, run, "neither an error nor an exact extraction: " + r.err));
    }
    RemoveTree(cwd);
  }

  const LimitedResult t = RunLimited({BuildDir() + "/dolm", "test", exe}, area, kTimeoutSeconds, kAddressLimitMb);
  safe(t, "dolm test");
  const bool toolError = t.exitCode == 1 && t.err.find("Error #") != std::string::npos;
  if (t.signal == 0 && !t.timedOut && t.exitCode != 0 && !toolError)
    faults.push_back(Describe(c, "dolm test", "exit " + std::to_string(t.exitCode) + " without an error: " + t.err));
  // What the tool calls whole, the stub extracts exactly.
  if (t.exitCode == 0 && !exact && !unchecked)
    faults.push_back(Describe(c, "dolm test", "called whole, but the stub did not extract it exactly"));
  unlink(exe.c_str());

  std::lock_guard<std::mutex> hold(tally.lock);
  tally.faults.insert(tally.faults.end(), faults.begin(), faults.end());
  if (stubError >= 0) ++tally.errors[stubError];
  tally.exact += exact ? 1 : 0;
  tally.silent += silent ? 1 : 0;
  tally.toolErrors += toolError ? 1 : 0;
  tally.toolWhole += t.exitCode == 0 ? 1 : 0;
}

// Every offset of the option block, archive header and solid header, and an
// even spread over the data blocks (`spread` points), plus the end.
std::vector<Case> Plan(Damage kind, size_t spread) {
  const Sample& s = TheSample();
  std::vector<Case> cases;
  const size_t blocks = s.regions.back().begin;
  for (size_t i = 0; i < blocks; ++i) cases.push_back({kind, i});
  const size_t data = s.archive.size() - blocks;
  for (size_t k = 0; k < spread; ++k) cases.push_back({kind, blocks + (data * k) / spread + k % 7});
  for (size_t i = s.archive.size() - 8; i < s.archive.size(); ++i) cases.push_back({kind, i});
  return cases;
}

void RunAll(const std::vector<Case>& cases, const char* what) {
  ASSERT_GT(TheSample().archive.size(), 100000u) << "the sample should be a few hundred KB";
  Tally tally;
  std::atomic<size_t> next{0};
  const std::string root = MakeTempDir(std::string("damage-") + what);
  auto worker = [&](int id) {
    const std::string area = root + "/w" + std::to_string(id);
    mkdir(area.c_str(), 0755);
    for (size_t i; (i = next++) < cases.size();) RunCase(cases[i], area, tally);
  };
  const int workers = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w) pool.emplace_back(worker, w);
  for (auto& t : pool) t.join();

  std::printf("%s: %zu cases (archive %zu bytes): stub exact %d, stub silent %d, dolm test whole %d, "
              "dolm test errors %d; stub errors:", what, cases.size(), TheSample().archive.size(),
              tally.exact, tally.silent, tally.toolWhole, tally.toolErrors);
  for (const auto& e : tally.errors) std::printf(" #%d x%d", e.first, e.second);
  std::printf("\n");
  for (size_t i = 0; i < tally.faults.size() && i < 40; ++i) ADD_FAILURE() << tally.faults[i];
  EXPECT_TRUE(tally.faults.empty()) << tally.faults.size() << " faulty runs";
  // Both kinds of outcome must actually occur, or the cases test nothing.
  EXPECT_GT(tally.errors.size(), 1u);
  RemoveTree(root);
}

TEST(DamagedArchive, TruncatedAtEveryHeaderByteAndAcrossTheData) {
  RunAll(Plan(Damage::kTruncate, 300), "truncated");
}

TEST(DamagedArchive, OneBitFlippedAcrossEveryPart) {
  RunAll(Plan(Damage::kFlip, 300), "flipped");
}

TEST(DamagedArchive, UndamagedSampleExtractsExactly) {
  const std::string root = MakeTempDir("damage-whole");
  const std::string exe = root + "/sfx";
  std::vector<uint8_t> file = TheSample().image;
  file.insert(file.end(), TheSample().archive.begin(), TheSample().archive.end());
  ASSERT_TRUE(WriteProgram(exe, file));
  mkdir((root + "/run").c_str(), 0755);
  const LimitedResult r = RunLimited({exe, "-s", "out"}, root + "/run", kTimeoutSeconds, kAddressLimitMb);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ExactExtraction(root + "/run/out")) << r.err;
  RemoveTree(root);
}

}  // namespace
