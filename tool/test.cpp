// dolm test: every block of a self-extractor read, checked and expanded into
// an output that writes nothing.
#include <cstdio>

#include "format/format.h"
#include "tool/display.h"
#include "tool/inspect.h"
#include "tool/progress.h"

namespace tool {

namespace {

const char kTestHelp[] =
    "Usage: dolm test FILE\n"
    "\n"
    "Reads and checks the whole archive: the archive header, the list of files,\n"
    "every data block and the full expansion, without writing anything. Reports\n"
    "the first damage with its error number, message and byte offset. Exit code\n"
    "0 only when the archive is whole and every stored name is safe.\n"
    "\n"
    "  --codepage N   read stored names in Windows code page N (default: UTF-8\n"
    "                 where a name is valid UTF-8, else 1252)\n"
    "  -h, --help     show this text\n";

}  // namespace

int TestCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, {{"--codepage", "", true}, {"--help", "-h", false}});
  if (HelpShown(parsed, kTestHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "test");
  int codePage = ReadingCodePage(parsed);
  Archive archive;
  OpenIntact(&archive, path, Reading::kData);
  // Every block is read, checked and expanded through the stub's own window
  // logic into an output that writes nothing.
  Result checked;
  {
    ProgressLine progress([&] { return ProgressText("testing", archive); });
    checked = ExpandInto(archive.run.get(), NullSink());
  }
  const uint64_t expected = TotalSize(archive);
  if (!checked.ok()) {
    std::string detail;
    const uint64_t produced = archive.run->expansion.produced;
    // More data than the files take is not expanded to its end.
    if (checked.error == kErrorInconsistent && produced > expected)
      detail = " (the data holds more than the " + std::to_string(expected) + " bytes of the files)";
    else if (checked.error == kErrorEndOfArchive || checked.error == kErrorInconsistent)
      detail = " (the data holds " + std::to_string(produced) + " bytes, the files " + std::to_string(expected) + ")";
    throw Failure(Describe(archive) + detail + SubjectDetail(archive));
  }
  long end = ftell(archive.run->archive.file);
  printf("'%s': archive is whole: %s, %llu bytes, window %uK\n", Shown(path).c_str(),
         CountText(Files(archive).count, "file").c_str(),
         static_cast<unsigned long long>(expected), WindowKibOf(archive.profile));
  if (end >= 0 && static_cast<uint64_t>(end) < archive.fileSize)
    printf("%llu bytes after the last block (for example a signature) are not part of it\n",
           static_cast<unsigned long long>(archive.fileSize - static_cast<uint64_t>(end)));
  ArchiveNames names = ReadNames(archive, codePage);
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
