// dolm restub: joins the archive of an existing self-extractor to another
// stub. The archive header, file list and data blocks are copied byte for
// byte; the option block is written anew from the stored options changed by
// the option flags; bytes after the last block (a signature) are dropped.
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "format/format.h"
#include "startup/startup.h"
#include "tool/tool.h"

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

packer::Bytes ReadWholeFile(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) throw Failure("cannot read '" + path + "'");
  packer::Bytes bytes;
  // The largest self-extractor pack writes: stub, option block and at most
  // 2 GiB of data; anything larger is not one of ours.
  const size_t limit = size_t{kMaxArchiveStart} + kMaxArchiveData + (size_t{64} << 20);
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    if (bytes.size() + got > limit) {
      fclose(file);
      throw Failure("'" + path + "' is larger than any self-extractor");
    }
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) throw Failure("cannot read '" + path + "'");
  return bytes;
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
  struct stat inStat, outStat;
  if (stat(in.c_str(), &inStat) == 0 && stat(out.c_str(), &outStat) == 0 &&
      inStat.st_dev == outStat.st_dev && inStat.st_ino == outStat.st_ino)
    throw Failure("the output '" + out + "' is the input '" + in + "'; name another output");

  const packer::Bytes original = ReadWholeFile(in);
  const ArchiveLayout layout = WalkArchive(original, in);
  StoredSettings settings = SettingsFromOptions(layout.options);
  // Only what the flags change is checked: IN's own texts are carried as stored.
  ParsedArgs changes;
  for (const auto& option : parsed.options)
    if (option.first != "--output" && option.first != "--stub") changes.options.push_back(option);
  if (!changes.options.empty()) ApplyStoredFlags(changes, settings);
  packer::StoredOptions stored = layout.options;
  if (!changes.options.empty()) stored = MakeStoredOptions(settings);
  if (parsed.Has("--exec")) CheckExecuteStored(settings.exec, NamesIn(in), OptionField(stored.optionWord, kRecreateOriginalFolders) == 0);

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
