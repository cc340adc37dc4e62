// dolm list: the stored options and every stored file of a self-extractor,
// as text or as one JSON object.
#include <cstdio>

#include "format/format.h"
#include "tool/checksums.h"
#include "tool/codepage.h"
#include "tool/commands.h"
#include "tool/display.h"
#include "tool/open_archive.h"

namespace tool {

namespace {

const char kListHelp[] =
    "Usage: dolm list FILE [--json] [--checksums]\n"
    "\n"
    "Shows the stored options (option word fields, temporary folder, execute\n"
    "file and arguments, size profile, the settings record that 'dolm pack'\n"
    "writes unless told to make a classic archive) and every stored file with its size,\n"
    "time (UTC) and attributes, and with Unix entries its mode (a link with its\n"
    "target). Nothing is extracted or run. Names that would be\n"
    "unsafe to extract are marked.\n"
    "\n"
    "  --json         print the listing as one JSON object\n"
    "  --checksums    also the CRC-32 and SHA-256 of every file, found by expanding\n"
    "                 the whole archive in memory (nothing is written); a damaged\n"
    "                 archive then fails as in 'dolm test'\n"
    "  --codepage N   read stored names in Windows code page N (default: UTF-8\n"
    "                 where a name is valid UTF-8, else 1252); an archive whose\n"
    "                 settings record stores its names as UTF-8 is read so\n"
    "  -h, --help     show this text\n";

const char* const kFieldNames[] = {"OverWriteExistingFiles",  "KeepOriginalFileAttrib",
                                   "RecreateOriginalFolders", "DeleteSFXwhenDone",
                                   "PromptUserForOptions",    "IgnoreErrors"};
const unsigned kFieldShifts[] = {kOverWriteExistingFiles, kKeepOriginalFileAttrib,
                                 kRecreateOriginalFolders, kDeleteSFXwhenDone,
                                 kPromptUserForOptions,    kIgnoreErrors};

const char* const kBehaviourNames[] = {"exitCodes", "privateFolder", "switches", "checkFirst", "progress"};
static_assert(sizeof kBehaviourNames / sizeof kBehaviourNames[0] == 5 && kBehaveAll == 31u,
              "a name for every behaviour bit");

std::string RecordText(const uint8_t* text, uint32_t length) {
  return length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(text), length);
}

// A record text as UTF-8 read in the code page (its bytes when it cannot be read so).
std::string RecordJson(const uint8_t* text, uint32_t length, int codePage) {
  const std::string stored = RecordText(text, length);
  std::string utf8;
  return JsonString(DecodeName(stored, codePage, &utf8).empty() ? utf8 : stored);
}

// The behaviours the record asks for, by name, with `separator` between.
std::string BehaviourList(uint32_t bits, const char* separator, const char* quote) {
  std::string list;
  for (unsigned i = 0; i < 5; ++i)
    if (bits & (1u << i)) list += (list.empty() ? "" : separator) + std::string(quote) + kBehaviourNames[i] + quote;
  return list;
}

// "record": null for a classic archive, else its size, place, behaviour bits and texts.
void PrintRecordJson(const Archive& archive, int codePage) {
  const ExtensionRecord& record = Options(archive).extension;
  if (!record.present) {
    printf("  \"record\": null,\n");
    return;
  }
  printf("  \"record\": {\n    \"size\": %u,\n    \"offset\": %ld,\n    \"behaviour\": %u,\n    \"behaviours\": [%s],\n",
         record.size, archive.archiveStart - static_cast<long>(record.size), record.behaviour,
         BehaviourList(record.behaviour, ", ", "\"").c_str());
  printf("    \"utf8Names\": %s,\n    \"ansiCodePage\": %s,\n", record.utf8Names ? "true" : "false",
         record.utf8Names ? std::to_string(record.ansiCodePage).c_str() : "null");
  printf("    \"title\": %s,\n    \"licence\": %s\n  },\n", RecordJson(record.title, record.titleLength, codePage).c_str(),
         RecordJson(record.licence, record.licenceLength, codePage).c_str());
}

void PrintRecordText(const Archive& archive, int codePage) {
  const ExtensionRecord& record = Options(archive).extension;
  if (!record.present) {
    printf("Settings record:    none (a classic archive)\n");
    return;
  }
  printf("Settings record:    %u bytes at byte %ld, asks for: %s\n", record.size,
         archive.archiveStart - static_cast<long>(record.size),
         record.behaviour ? BehaviourList(record.behaviour, " ", "").c_str() : "nothing");
  if (record.utf8Names)
    printf("  Names:            UTF-8 (Windows 95/98: code page %u)\n", static_cast<unsigned>(record.ansiCodePage));
  printf("  Title:            %s\n", ShownStored(RecordText(record.title, record.titleLength), codePage).c_str());
  printf("  Licence text:     %u bytes\n", record.licenceLength);
}

// The data of each symbolic link of the table (its target), found by
// expanding the archive into an output that keeps only those bytes.
struct TargetGathering {
  std::vector<std::string>* targets;
  uint32_t index;
  bool link;
};

Result GatherOpen(void* self, uint32_t index, const FileRecord& record, bool* write) {
  TargetGathering* gathering = static_cast<TargetGathering*>(self);
  gathering->index = index;
  gathering->link = KindOf(record) == EntryKind::kLink;
  *write = true;
  return kOk;
}
Result GatherWrite(void* self, const uint8_t* bytes, uint32_t count) {
  TargetGathering* gathering = static_cast<TargetGathering*>(self);
  if (gathering->link) (*gathering->targets)[gathering->index].append(reinterpret_cast<const char*>(bytes), count);
  return kOk;
}
Result GatherFinish(void*, uint32_t, const FileRecord&, bool) { return kOk; }
void GatherRemove(void*) {}

// The links' targets by table index ("" for every other entry), or none
// when the archive holds no link (its data is then not read). A damaged
// archive ends the listing.
std::vector<std::string> LinkTargets(Archive& archive) {
  bool links = false;
  for (uint32_t i = 0; i < Files(archive).count; ++i) links = links || KindOf(Files(archive).records[i]) == EntryKind::kLink;
  if (!links) return {};
  std::vector<std::string> targets(Files(archive).count);
  OpenIntact(&archive, archive.path, Reading::kData);
  TargetGathering gathering{&targets, 0, false};
  Result read = ExpandInto(archive.run.get(), OutputSink{&gathering, GatherOpen, GatherWrite, GatherFinish, GatherRemove});
  if (!read.ok()) throw Failure(Describe(archive));
  return targets;
}

// ", "type": ..., "mode": ..., "modeText": ...[, "linkTarget": ...]" of entry
// i of an archive with Unix entries, or nothing.
std::string JsonMode(const Archive& archive, const std::vector<std::string>& targets, uint32_t i) {
  if (!Options(archive).extension.unixModes) return "";
  const FileRecord& r = Files(archive).records[i];
  std::string text = std::string(", \"type\": \"") + ModeKind(r.mode) + "\", \"mode\": " + std::to_string(r.mode) +
                     ", \"modeText\": \"" + (r.mode != 0 ? ModeText(r.mode) : "") + "\"";
  if (KindOf(r) == EntryKind::kLink) text += ", \"linkTarget\": " + JsonString(targets[i]);
  return text;
}

// ", "crc32": "...", "sha256": "..."" of file i, or nothing without checksums.
std::string JsonSums(const std::vector<FileSums>& sums, uint32_t i) {
  if (sums.empty()) return "";
  char crc[16];
  snprintf(crc, sizeof crc, "%08x", sums[i].crc32);
  return std::string(", \"crc32\": \"") + crc + "\", \"sha256\": \"" + sums[i].sha256 + "\"";
}

void PrintJson(const Archive& archive, const ArchiveNames& names, int codePage, const std::vector<FileSums>& sums,
               const std::vector<std::string>& targets) {
  const StoredOptions& stored = Options(archive);
  const FileTable& files = Files(archive);
  uint32_t word = stored.record.optionWord;
  printf("{\n  \"archive\": %s,\n", JsonString(archive.path).c_str());
  printf("  \"archiveOffset\": %ld,\n", archive.archiveStart);
  PrintRecordJson(archive, codePage);
  printf("  \"profile\": \"%uK\",\n  \"profileIndex\": %u,\n  \"windowSize\": %u,\n",
         WindowKibOf(archive.profile), archive.profile, WindowSizeOf(archive.profile));
  printf("  \"solidFlag\": %u,\n  \"optionWord\": %u,\n  \"options\": {", SolidFlagOf(archive.run->archive.header), word);
  for (int i = 0; i < 6; ++i)
    printf("%s\n    \"%s\": %u", i ? "," : "", kFieldNames[i], OptionField(word, kFieldShifts[i]));
  printf(",\n    \"SilentExtraction\": %u\n  },\n", OptionField(word, kPromptUserForOptions) == 0 ? 1u : 0u);
  printf("  %s,\n", JsonStored("temporaryFolder", stored.tempFolder, codePage).c_str());
  printf("  %s,\n", JsonStored("executeFile", stored.execFile, codePage).c_str());
  printf("  %s,\n", JsonStored("executeArguments", stored.execArgs, codePage).c_str());
  printf("  \"fileCount\": %u,\n  \"totalSize\": %llu,\n  \"sizeRatio\": %.3f,\n  \"files\": [", files.count,
         static_cast<unsigned long long>(TotalSize(archive)), DeclaredRatio(archive));
  for (uint32_t i = 0; i < files.count; ++i) {
    const FileRecord& r = files.records[i];
    printf("%s\n    {%s, \"size\": %u, \"time\": \"%s\", \"timeSeconds\": %u, "
           "\"attributes\": %u, \"attributeText\": \"%s\"%s%s, \"unsafe\": %s}",
           i ? "," : "", JsonName(names[i]).c_str(), r.size, IsoTime(r.time).c_str(), r.time,
           r.attributes, AttributeText(r.attributes).c_str(), JsonMode(archive, targets, i).c_str(),
           JsonSums(sums, i).c_str(),
           names[i].problem.empty() ? "null" : JsonString(names[i].problem).c_str());
  }
  printf("%s]\n}\n", files.count ? "\n  " : "");
}

void PrintText(const Archive& archive, const ArchiveNames& names, int codePage, const std::vector<FileSums>& sums,
               const std::vector<std::string>& targets) {
  const StoredOptions& stored = Options(archive);
  const FileTable& files = Files(archive);
  uint32_t word = stored.record.optionWord;
  printf("Archive:            %s\n", Shown(archive.path).c_str());
  printf("Archive begins at:  byte %ld\n", archive.archiveStart);
  PrintRecordText(archive, codePage);
  printf("Size profile:       %uK (index %u, window %u bytes)\n", WindowKibOf(archive.profile),
         archive.profile, WindowSizeOf(archive.profile));
  printf("Option word:        0x%08X\n", word);
  for (int i = 0; i < 6; ++i)
    printf("  %-24s= %u\n", kFieldNames[i], OptionField(word, kFieldShifts[i]));
  printf("  %-24s= %u\n", "SilentExtraction", OptionField(word, kPromptUserForOptions) == 0 ? 1u : 0u);
  printf("Temporary folder:   %s\n",
         stored.tempFolder[0] ? ShownStored(stored.tempFolder, codePage).c_str()
                                : "(none: the system's temporary folder)");
  printf("Execute file:       %s\n",
         stored.execFile[0] ? ShownStored(stored.execFile, codePage).c_str() : "(none)");
  printf("Execute arguments:  %s\n", ShownStored(stored.execArgs, codePage).c_str());
  printf("Files:              %u, %llu bytes declared (%.1f times the archive's size)\n\n", files.count,
         static_cast<unsigned long long>(TotalSize(archive)), DeclaredRatio(archive));
  char sumHeads[96] = "";
  if (!sums.empty()) snprintf(sumHeads, sizeof sumHeads, "%-8s  %-64s  ", "CRC-32", "SHA-256");
  // Archives with Unix entries have a mode column, and a link its target.
  const bool unix = stored.extension.unixModes;
  printf("%12s  %-20s  %s%-4s  %s%s\n", "Size", "Modified (UTC)", unix ? "Mode        " : "", "Attr", sumHeads, "Name");
  for (uint32_t i = 0; i < files.count; ++i) {
    const FileRecord& r = files.records[i];
    char crc[16] = "";
    if (!sums.empty()) snprintf(crc, sizeof crc, "%08x  ", sums[i].crc32);
    std::string mode, name = Shown(names[i].utf8);
    if (unix) mode = (r.mode != 0 ? ModeText(r.mode) : std::string(10, '?')) + "  ";
    if (KindOf(r) == EntryKind::kLink) name += " -> " + Shown(targets[i]);
    printf("%12u  %-20s  %s%-4s  %s%s%s%s%s%s\n", r.size, IsoTime(r.time).c_str(), mode.c_str(),
           AttributeText(r.attributes).c_str(), crc, sums.empty() ? "" : sums[i].sha256.c_str(),
           sums.empty() ? "" : "  ", name.c_str(),
           names[i].problem.empty() ? "" : "   [UNSAFE: ",
           names[i].problem.empty() ? "" : (Shown(names[i].problem) + "]").c_str());
  }
}

// Says on stderr which names cannot be read in the code page, and why.
void ReportUnreadable(const char* command, const ArchiveNames& names) {
  size_t shown = 0;
  for (uint32_t i : names.unreadable)
    if (const NameInArchive name = names[i]; !name.readable && shown++ < kNamesShown)
      fprintf(stderr, "dolm: %s: the stored name '%s' (bytes %s) cannot be read: %s\n", command,
              Shown(name.stored).c_str(), HexText(name.stored).c_str(), name.problem.c_str());
  if (shown > kNamesShown) fprintf(stderr, "dolm: %s: %s unreadable names\n", command, MoreNames(shown).c_str());
}

}  // namespace

std::vector<OptionDef> ListOptions() {
  return {{"--json", "", false},
          {"--checksums", "", false},
          {"--codepage", "", true, CodePageWords()},
          {"--help", "-h", false}};
}

int ListCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, ListOptions());
  if (HelpShown(parsed, kListHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "list");
  int codePage = ReadingCodePage(parsed);
  Archive archive;
  const bool checksums = parsed.Has("--checksums");
  OpenIntact(&archive, path, Reading::kList);
  codePage = NamesCodePage(archive, codePage);
  const std::vector<std::string> targets = LinkTargets(archive);
  // Each expansion reads the archive from its first block.
  if (checksums) OpenIntact(&archive, path, Reading::kData);
  const std::vector<FileSums> sums = checksums ? ComputeChecksums(archive) : std::vector<FileSums>();
  ArchiveNames names = ReadNames(archive, codePage);
  if (parsed.Has("--json")) PrintJson(archive, names, codePage, sums, targets);
  else PrintText(archive, names, codePage, sums, targets);
  ReportUnreadable("list", names);
  if (size_t unsafe = CountUnsafe(names))
    fprintf(stderr, "dolm: list: '%s' holds %zu stored name(s) that are unsafe to extract\n",
            Shown(path).c_str(), unsafe);
  return kExitOk;
}

}  // namespace tool
