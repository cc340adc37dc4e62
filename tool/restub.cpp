// dolm restub: joins the archive of an existing self-extractor to another
// stub. The archive header, file list and data blocks are copied byte for
// byte; the option block is written anew from the stored options changed by
// the option flags; bytes after the last block (a signature) are dropped.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "container/container.h"
#include "format/format.h"
#include "packer/pe_resources.h"
#include "startup/startup.h"
#include "tool/archive_walk.h"
#include "tool/brand.h"
#include "tool/codepage.h"
#include "tool/commands.h"
#include "tool/display.h"
#include "tool/output_file.h"
#include "tool/pack_checks.h"
#include "tool/progress.h"
#include "tool/stored_options.h"
#include "tool/util.h"

namespace tool {

namespace {

const char kRestubHelp[] =
    "Usage: dolm restub IN -o OUT [--stub KIND|PATH] [stored-option flags] [branding]\n"
    "\n"
    "Joins the archive of the self-extractor IN to another stub, without\n"
    "unpacking it: the archive from its archive header to its last data block is\n"
    "copied byte for byte. The stored options are IN's, changed by the flags\n"
    "given (the same as 'dolm pack' takes). Bytes after the last block, such as\n"
    "a signature, are not carried over. Between Windows stubs, the icon, version\n"
    "information and manifest of IN's stub go to the new one; the branding\n"
    "options replace them. The Linux stub has none of them, and it warns when\n"
    "the execute file is a Windows program, which it cannot start.\n"
    "\n"
    "  -o, --output OUT        the self-extractor to write (also -oOUT, --output=OUT)\n"
    "  --stub KIND|PATH        win32 (default), win64, linux, or the path of a stub\n"
    "  --exec FILE, --args TEXT, --temp DIR, --overwrite, --keep-attributes,\n"
    "  --no-keep-attributes, --recreate-folders, --flat, --delete-when-done,\n"
    "  --prompt, --silent, --ignore-errors\n"
    "                          change the stored option of that name (see\n"
    "                          'dolm pack --help'); --exec alone clears the arguments\n"
    "  --classic               drop IN's settings record (the classic archive)\n"
    "  --title TEXT, --confirm FILE\n"
    "                          replace the record's caption or licence text ('' removes\n"
    "                          it); either adds the record, with every behaviour, to\n"
    "                          a classic IN. Without these, IN's record is kept as is\n"
    "  --codepage N            the code page --exec, --args, --temp and --title are stored\n"
    "                          in (default 1252): that of IN's names. The stored\n"
    "                          names are copied as they are, so --codepage alone is\n"
    "                          refused; pack again to store them in another one.\n"
    "                          When IN stores its names as UTF-8, the texts are UTF-8\n"
    "                          too and N is the code page for Windows 95/98\n"
    "  --icon FILE.ico, --version-info NAME=VALUE, --execution-level LEVEL\n"
    "                          replace IN's icon, version text or manifest (Windows\n"
    "                          stubs only; see 'dolm pack --help')\n"
    "  -h, --help              show this text\n";

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

// Collects the first two bytes of the file `wanted` and then halts the expansion.
struct HeadOutput {
  uint32_t wanted;
  bool open = false;
  std::string head;
};

Result OpenHead(void* self, uint32_t index, const FileRecord&, bool* write) {
  static_cast<HeadOutput*>(self)->open = index == static_cast<HeadOutput*>(self)->wanted;
  *write = true;
  return kOk;
}

Result WriteHead(void* self, const uint8_t* bytes, uint32_t count) {
  HeadOutput* out = static_cast<HeadOutput*>(self);
  if (!out->open) return kOk;
  out->head.append(reinterpret_cast<const char*>(bytes), std::min<size_t>(count, 2 - out->head.size()));
  return out->head.size() < 2 ? kOk : Result{kSilentFailure};
}

Result FinishHead(void* self, uint32_t, const FileRecord&, bool) {
  // A file shorter than two bytes ends the search too.
  return static_cast<HeadOutput*>(self)->open ? Result{kSilentFailure} : kOk;
}

void RemoveNothing(void*) {}

// The first two bytes of stored file `index`, expanding as far as it.
std::string HeadOfStoredFile(const std::string& path, uint32_t index) {
  std::unique_ptr<StubRun> run(new StubRun());
  HeadOutput output{index, false, ""};
  if (OpenForInspection(run.get(), path.c_str(), true).ok())
    (void)ExpandInto(run.get(), OutputSink{&output, OpenHead, WriteHead, FinishHead, RemoveNothing});
  EndInspection(run.get());
  return output.head;
}

// The Linux stub starts the execute file with execv: it warns when that file
// is a Windows program by its name or by the "MZ" its image starts with.
void WarnWindowsProgram(const std::string& in, const StoredOptions& stored) {
  std::string exec = stored.execFile;
  if (exec.empty()) return;
  std::string lower = exec;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  bool windows = false;
  for (const char* ending : {".exe", ".com", ".bat", ".cmd"})
    windows = windows || (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ending) == 0);
  if (!windows) {
    long index = FindExecuteStored(exec, NamesIn(in), OptionField(stored.record.optionWord, kRecreateOriginalFolders) == 0);
    windows = index >= 0 && HeadOfStoredFile(in, static_cast<uint32_t>(index)) == "MZ";
  }
  if (windows)
    fprintf(stderr, "dolm: restub: warning: the execute file '%s' is a Windows program, which the Linux "
                    "stub will not start; --exec chooses another (or --exec '' none)\n", Shown(exec).c_str());
}

// --codepage only says how the texts given here are stored: the names inside
// the copied archive keep their bytes, so alone it would change nothing.
// With names stored as UTF-8 it sets the record's ANSI code page.
void CheckCodePageUse(const ParsedArgs& parsed, const StoredOptions& stored) {
  if (parsed.Has("--codepage") && !stored.extension.utf8Names && !parsed.Has("--exec") && !parsed.Has("--args") &&
      !parsed.Has("--temp") && !parsed.Has("--title") && !parsed.Has("--confirm"))
    throw UsageError("restub copies the stored names as they are and cannot convert them to another code "
                     "page; --codepage only says how --exec, --args and --temp are stored. Pack again "
                     "with --codepage to store the names in another code page");
}

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// --classic drops the record, and with it the word that the names are UTF-8:
// that leaves the same archive only when every name and text is ASCII,
// which reads alike in every code page.
void CheckClassicNames(const ParsedArgs& parsed, const std::string& in, StoredOptions& stored) {
  if (!parsed.Has("--classic") || !stored.extension.utf8Names) return;
  std::vector<std::string> texts = NamesIn(in);
  for (const char* text : {stored.execFile, stored.execArgs, stored.tempFolder}) texts.emplace_back(text);
  for (const std::string& text : texts)
    if (!IsAscii(text))
      throw UsageError("'" + Shown(in) + "' stores its names as UTF-8, which only its settings record says, and '" +
                       Shown(text) + "' is not ASCII: without the record a self-extractor would read it in a "
                       "code page. Pack again with --classic and --codepage for a classic archive");
  stored.extension.utf8Names = false;
}

}  // namespace

std::vector<OptionDef> RestubOptions() {
  std::vector<OptionDef> defs = {
      {"--output", "-o", true, "FILE"}, {"--stub", "", true, kStubWords}, {"--help", "-h", false}};
  defs.insert(defs.end(), kStoredOptionDefs.begin(), kStoredOptionDefs.end());
  defs.insert(defs.end(), kExtensionOptionDefs.begin(), kExtensionOptionDefs.end());
  defs.insert(defs.end(), kBrandingOptionDefs.begin(), kBrandingOptionDefs.end());
  return defs;
}

int RestubCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, RestubOptions());
  if (parsed.Has("--help")) {
    fputs(kRestubHelp, stdout);
    return kExitOk;
  }
  if (parsed.operands.size() != 1) throw UsageError("restub needs exactly one input self-extractor");
  const std::string in = parsed.operands[0];
  const std::string out = parsed.Value("--output");
  if (out.empty()) throw UsageError("restub needs the output file: -o OUT");
  const std::string stubChoice = parsed.Value("--stub", "win32"), stubPath = FindStub(stubChoice);
  CheckOutputPath(out);
  struct stat inStat;
  if (stat(in.c_str(), &inStat) != 0) throw Failure("cannot read '" + in + "': " + Errno());
  RefuseOutputAmongInputs(out, {{in, static_cast<uint64_t>(inStat.st_dev), static_cast<uint64_t>(inStat.st_ino)}});

  StoredOptions stored{};
  // IN's record bytes, which stored.extension points into, live to the end of the command.
  std::unique_ptr<StoredOptions, void (*)(StoredOptions*)> keep(&stored, ReleaseExtension);
  const uint64_t headerStart = ReadStoredOptions(in, stored);
  CheckCodePageUse(parsed, stored);
  const packer::Bytes original = ReadSelfExtractor(in);
  const ArchiveLayout layout = WalkArchive(original, headerStart, in);
  // IN's stub image ends where its option block (or record) begins, as read before the flags change it.
  const uint64_t stubEnd = StubImageEnd(headerStart, stored);
  const packer::Bytes oldImage(original.begin(), original.begin() + static_cast<long>(stubEnd <= headerStart ? stubEnd : 0));
  // Only what the flags change is checked: IN's own texts are carried as the stub reads them.
  ParsedArgs changes;
  for (const auto& option : parsed.options)
    if (option.first != "--output" && option.first != "--stub" && option.first != "--icon" &&
        option.first != "--version-info" && option.first != "--execution-level")
      changes.options.push_back(option);
  CheckClassicNames(changes, in, stored);
  const int codePage = changes.options.empty() ? kDefaultPackCodePage : ApplyStoredFlags(changes, stored);
  RecordTexts texts;
  ApplyExtensionFlags(changes, codePage, false, stored, texts);
  if (parsed.Has("--exec"))
    CheckExecuteStored(stored.execFile, NamesIn(in), OptionField(stored.record.optionWord, kRecreateOriginalFolders) == 0);

  bool branded = false;
  packer::Bytes image = RestubImage(parsed, stubChoice, stubPath, oldImage, in, &branded);
  if (packer::IsElfImage(image)) WarnWindowsProgram(in, stored);
  CheckRecordFits(image.size(), stored);

  packer::Bytes archive = packer::WriteOptionBlock(stored);
  archive.insert(archive.end(), original.begin() + static_cast<long>(layout.headerStart),
                 original.begin() + static_cast<long>(layout.end));
  if (branded) packer::SetPeChecksum(image, archive);
  uint64_t dropped = original.size() - layout.end;
  OutputFile output(out);
  uint64_t written = output.Commit(image, archive);
  printf("wrote '%s': %s, archive of %s copied from '%s'%s\n", out.c_str(), SizeText(written).c_str(),
         SizeText(layout.end - layout.headerStart).c_str(), in.c_str(),
         dropped ? (", " + SizeText(dropped) + " after its last block left out").c_str() : "");
  return kExitOk;
}

}  // namespace tool
