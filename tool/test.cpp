// dolm test: every block of a self-extractor read, checked and expanded into
// an output that writes nothing.
#include <cstdio>

#include "format/format.h"
#include "tool/checksums.h"
#include "tool/commands.h"
#include "tool/display.h"
#include "tool/open_archive.h"
#include "tool/progress.h"

namespace tool {

namespace {

const char kTestHelp[] =
    "Usage: dolm test FILE [--json]\n"
    "\n"
    "Reads and checks the whole archive: the settings record (when there is\n"
    "one), the archive header, the list of files,\n"
    "every data block and the full expansion (and, with Unix entries, that no\n"
    "symbolic link leads out of the extraction folder), without writing anything. Reports\n"
    "the first damage with its error number, message and byte offset. Exit code\n"
    "0 only when the archive is whole and every stored name is safe.\n"
    "\n"
    "  --json         print the verdict as one JSON object on standard output\n"
    "                 (\"whole\", \"safe\", \"error\", the counts and the unsafe\n"
    "                 names), whatever it is; the exit code stays the same\n"
    "  --codepage N   read stored names in Windows code page N (default: UTF-8\n"
    "                 where a name is valid UTF-8, else 1252); an archive whose\n"
    "                 settings record stores its names as UTF-8 is read so\n"
    "  -h, --help     show this text\n";

// Reads and expands every block; returns the bytes after the last one.
uint64_t CheckWhole(Archive& archive, const std::string& path) {
  OpenIntact(&archive, path, Reading::kData);
  // Every block is read, checked and expanded through the stub's own window
  // logic into an output that writes nothing.
  Result checked;
  {
    ProgressLine progress([&] { return ProgressText("testing", archive); });
    // With Unix entries, also every link's target: one that leads out of the
    // folder it is extracted into fails the test.
    LinkCheck links;
    const bool unix = Options(archive).extension.unixModes;
    checked = ExpandInto(archive.run.get(), unix ? LinkCheckSink(&links, Options(archive).record.optionWord, &archive.run->faults) : NullSink());
  }
  if (!checked.ok()) throw Failure(Describe(archive) + ExpansionDetail(archive, checked));
  long end = ftell(archive.run->archive.file);
  return end >= 0 && static_cast<uint64_t>(end) < archive.fileSize ? archive.fileSize - static_cast<uint64_t>(end) : 0;
}

void PrintJson(const Archive& archive, const std::string& path, const std::string& error,
               const ArchiveNames& names, uint64_t trailing) {
  printf("{\n  \"archive\": %s,\n  \"whole\": %s,\n  \"safe\": %s,\n  \"error\": %s", JsonString(path).c_str(),
         error.empty() ? "true" : "false", error.empty() && CountUnsafe(names) == 0 ? "true" : "false",
         error.empty() ? "null" : JsonString(error).c_str());
  if (error.empty()) {
    printf(",\n  \"fileCount\": %u,\n  \"totalSize\": %llu,\n  \"profile\": \"%uK\",\n  \"bytesAfterLastBlock\": %llu",
           Files(archive).count, static_cast<unsigned long long>(TotalSize(archive)), WindowKibOf(archive.profile),
           static_cast<unsigned long long>(trailing));
    // 0: a classic archive, without the settings record.
    printf(",\n  \"recordSize\": %u", Options(archive).extension.present ? Options(archive).extension.size : 0u);
    printf(",\n  \"unsafeNames\": [");
    bool first = true;
    for (const NameProblem& problem : names.problems) {
      const NameInArchive name = names[problem.index];
      printf("%s\n    {%s, \"problem\": %s}", first ? "" : ",", JsonName(name).c_str(), JsonString(name.problem).c_str());
      first = false;
    }
    printf("%s]", first ? "" : "\n  ");
  }
  printf("\n}\n");
}

}  // namespace

std::vector<OptionDef> TestOptions() {
  return {{"--json", "", false}, {"--codepage", "", true, CodePageWords()}, {"--help", "-h", false}};
}

int TestCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, TestOptions());
  if (HelpShown(parsed, kTestHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "test");
  int codePage = ReadingCodePage(parsed);
  const bool json = parsed.Has("--json");
  Archive archive;
  std::string error;
  uint64_t trailing = 0;
  try {
    trailing = CheckWhole(archive, path);
  } catch (const Failure& failure) {
    if (!json) throw;
    error = failure.what();
  }
  const ArchiveNames names = error.empty() ? ReadNames(archive, codePage) : ArchiveNames();
  if (json) {
    PrintJson(archive, path, error, names, trailing);
    if (!error.empty()) throw Failure(error);
  } else {
    printf("'%s': archive is whole: %s, %llu bytes, window %uK\n", Shown(path).c_str(),
           CountText(Files(archive).count, "file").c_str(), static_cast<unsigned long long>(TotalSize(archive)),
           WindowKibOf(archive.profile));
    if (Options(archive).extension.present)
      printf("settings record of %u bytes checked\n", Options(archive).extension.size);
    if (trailing > 0)
      printf("%llu bytes after the last block (for example a signature) are not part of it\n",
             static_cast<unsigned long long>(trailing));
  }
  if (CountUnsafe(names) == 0) return kExitOk;
  size_t shown = 0;
  for (auto problem = names.problems.begin(); problem != names.problems.end() && shown++ < kNamesShown; ++problem) {
    const NameInArchive name = names[problem->index];
    fprintf(stderr, "dolm: test: unsafe name '%s': %s\n", Shown(name.utf8).c_str(), Shown(name.problem).c_str());
  }
  if (CountUnsafe(names) > kNamesShown) fprintf(stderr, "dolm: test: %s\n", MoreNames(CountUnsafe(names)).c_str());
  throw Failure("'" + path + "' holds " + std::to_string(CountUnsafe(names)) +
                " stored name(s) that are unsafe to extract");
}

}  // namespace tool
