// dolm restub: joins the archive of an existing self-extractor to another
// stub. The archive header, file list and data blocks are copied byte for
// byte; the option block is written anew from the stored options changed by
// the option flags; bytes after the last block (a signature) are dropped.
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "container/container.h"
#include "format/format.h"
#include "startup/startup.h"
#include "tool/archive_walk.h"
#include "tool/commands.h"
#include "tool/output_file.h"
#include "tool/pack_checks.h"
#include "tool/progress.h"
#include "tool/stored_options.h"
#include "tool/util.h"

namespace tool {

namespace {

const char kRestubHelp[] =
    "Usage: dolm restub IN -o OUT [--stub KIND|PATH] [stored-option flags]\n"
    "\n"
    "Joins the archive of the self-extractor IN to another stub, without\n"
    "unpacking it: the archive from its archive header to its last data block is\n"
    "copied byte for byte. The stored options are IN's, changed by the flags\n"
    "given (the same as 'dolm pack' takes). Bytes after the last block, such as\n"
    "a signature, are not carried over.\n"
    "\n"
    "  -o, --output OUT        the self-extractor to write (also -oOUT, --output=OUT)\n"
    "  --stub KIND|PATH        win32 (default), win64, linux, or the path of a stub\n"
    "  --exec FILE, --args TEXT, --temp DIR, --overwrite, --keep-attributes,\n"
    "  --no-keep-attributes, --recreate-folders, --flat, --delete-when-done,\n"
    "  --prompt, --silent, --ignore-errors\n"
    "                          change the stored option of that name (see\n"
    "                          'dolm pack --help'); --exec alone clears the arguments\n"
    "  -h, --help              show this text\n";

const std::vector<OptionDef> kRestubOptions = {
    {"--output", "-o", true}, {"--stub", "", true}, {"--help", "-h", false}};

// The largest self-extractor pack writes: stub, option block and at most
// 2 GiB of data; anything larger is not one of ours.
packer::Bytes ReadSelfExtractor(const std::string& path) {
  const size_t limit = size_t{kMaxArchiveStart} + kMaxArchiveData + (size_t{64} << 20);
  packer::Bytes bytes = ReadWholeFile(path, "", limit);
  if (bytes.size() > limit) throw Failure("'" + path + "' is larger than any self-extractor");
  return bytes;
}

// Reads IN's option block with the stub's own reader; returns the offset of
// the archive header behind it.
uint64_t ReadStoredOptions(const std::string& path, StoredOptions& options) {
  ArchiveFile archive{};
  Faults faults;
  ClearFaults(&faults, false);
  Result loaded = LoadStoredOptions(path.c_str(), &archive, &options, &faults);
  if (!loaded.ok()) {
    char text[520];
    FormatErrorText(faults.first, archive.name, text, sizeof text);
    throw Failure("'" + path + "' holds no readable archive: " + OneLine(text));
  }
  return static_cast<uint64_t>(archive.optionBlockPos);
}

// The stored names of a self-extractor, read with the stub's own procedures.
std::vector<std::string> NamesIn(const std::string& path) {
  std::unique_ptr<StubRun> run(new StubRun());
  Result opened = OpenForInspection(run.get(), path.c_str(), false);
  std::vector<std::string> names;
  for (uint32_t i = 0; opened.ok() && i < run->files.count; ++i) names.emplace_back(run->files.records[i].name);
  EndInspection(run.get());
  if (!opened.ok()) throw Failure("cannot read the list of files of '" + path + "'");
  return names;
}

}  // namespace

int RestubCommand(const std::vector<std::string>& args) {
  std::vector<OptionDef> defs = kRestubOptions;
  defs.insert(defs.end(), kStoredOptionDefs.begin(), kStoredOptionDefs.end());
  ParsedArgs parsed = ParseArgs(args, defs);
  if (parsed.Has("--help")) {
    fputs(kRestubHelp, stdout);
    return kExitOk;
  }
  if (parsed.operands.size() != 1) throw UsageError("restub needs exactly one input self-extractor");
  const std::string in = parsed.operands[0];
  const std::string out = parsed.Value("--output");
  if (out.empty()) throw UsageError("restub needs the output file: -o OUT");
  const packer::Bytes image = ReadStubImage(FindStub(parsed.Value("--stub", "win32")));
  CheckOutputPath(out);
  struct stat inStat;
  if (stat(in.c_str(), &inStat) != 0) throw Failure("cannot read '" + in + "': " + Errno());
  RefuseOutputAmongInputs(out, {{in, static_cast<uint64_t>(inStat.st_dev), static_cast<uint64_t>(inStat.st_ino)}});

  StoredOptions stored{};
  const uint64_t headerStart = ReadStoredOptions(in, stored);
  const packer::Bytes original = ReadSelfExtractor(in);
  const ArchiveLayout layout = WalkArchive(original, headerStart, in);
  // Only what the flags change is checked: IN's own texts are carried as the stub reads them.
  ParsedArgs changes;
  for (const auto& option : parsed.options)
    if (option.first != "--output" && option.first != "--stub") changes.options.push_back(option);
  if (!changes.options.empty()) ApplyStoredFlags(changes, stored);
  if (parsed.Has("--exec"))
    CheckExecuteStored(stored.execFile, NamesIn(in), OptionField(stored.record.optionWord, kRecreateOriginalFolders) == 0);

  packer::Bytes archive = packer::WriteOptionBlock(stored);
  archive.insert(archive.end(), original.begin() + static_cast<long>(layout.headerStart),
                 original.begin() + static_cast<long>(layout.end));
  uint64_t dropped = original.size() - layout.end;
  OutputFile output(out);
  uint64_t written = output.Commit(image, archive);
  printf("wrote '%s': %s, archive of %s copied from '%s'%s\n", out.c_str(), SizeText(written).c_str(),
         SizeText(layout.end - layout.headerStart).c_str(), in.c_str(),
         dropped ? (", " + SizeText(dropped) + " after its last block left out").c_str() : "");
  return kExitOk;
}

}  // namespace tool
