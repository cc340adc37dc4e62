// dolm list, test and extract: read a self-extractor with the stub's own
// engine. The engine keeps module-wide state and reports through
// ReportError; in report-only mode that records the first error and returns,
// so each step here checks for a recorded error right after the engine call
// and keeps the archive position of that moment as the place of the damage.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "output/output.h"
#include "platform/platform.h"
#include "startup/startup.h"
#include "tool/tool.h"

namespace tool {

namespace {

const char kListHelp[] =
    "Usage: dolm list FILE [--json]\n"
    "\n"
    "Shows the stored options (option word fields, temporary folder, execute\n"
    "file and arguments, size profile) and every stored file with its size,\n"
    "time (UTC) and attributes. Nothing is extracted or run. Names that would be\n"
    "unsafe to extract are marked.\n"
    "\n"
    "  --json       print the listing as one JSON object\n"
    "  -h, --help   show this text\n";

const char kTestHelp[] =
    "Usage: dolm test FILE\n"
    "\n"
    "Reads and checks the whole archive: the archive header, the list of files,\n"
    "every data block and the full expansion, without writing anything. Reports\n"
    "the first damage with its error number, message and byte offset. Exit code\n"
    "0 only when the archive is whole and every stored name is safe.\n"
    "\n"
    "  -h, --help   show this text\n";

const char kExtractHelp[] =
    "Usage: dolm extract FILE [-C DIR] [--overwrite] [--allow-unsafe-paths]\n"
    "\n"
    "Extracts the stored files below DIR (default: the current folder), with\n"
    "their stored folders, times and attributes. Nothing is run.\n"
    "\n"
    "  -C, --directory DIR    extract below DIR (created when missing)\n"
    "  --overwrite            replace files that exist already\n"
    "  --allow-unsafe-paths   extract names with '..', absolute paths, drive\n"
    "                         letters or device names, and through symbolic links\n"
    "  -h, --help             show this text\n";

// The first error of the run and where in the archive it was found.
struct Damage {
  int code = -1;
  std::string message;
  long offset = 0;
  bool found() const { return code >= 0; }
};

// Takes the engine's first recorded error, if any, with the current position.
bool Capture(Damage& damage) {
  if (!damage.found() && FirstReportedError() >= 0) {
    damage.code = FirstReportedError();
    damage.message = OneLine(FirstReportedMessage());
    damage.offset = gContainer.archive != nullptr ? ftell(gContainer.archive) : 0;
  }
  return damage.found();
}

// An error found by the tool's own checks, worded with the stub's text for it.
void OwnError(Damage& damage, int code, long offset) {
  if (damage.found()) return;
  char text[260] = {0};
  PlatformLoadString(static_cast<unsigned>(code <= 8 ? 12 + 2 * code : 20 + code), text, sizeof text);
  std::string message = text;
  size_t slot = message.find("%s");
  if (slot != std::string::npos) message.replace(slot, 2, gContainer.archiveName);
  damage.code = code;
  damage.message = OneLine(message);
  damage.offset = offset;
}

std::string Describe(const std::string& path, const Damage& damage) {
  return "'" + path + "': " + damage.message + " (found at byte offset " +
         std::to_string(damage.offset) + ")";
}

struct Archive {
  std::string path;
  uint64_t fileSize = 0;
  long archiveStart = 0;
  uint8_t profile = 0;
  uint8_t solidFlag = 0;
};

// Opens the archive and reads everything up to the first data block: option
// block, archive header and solid header (into gFiles). With load set the
// decoder memory is reserved too, for the expansion.
Archive OpenArchive(const std::string& path, int load, Damage& damage) {
  SetReportOnly(1);
  Archive archive;
  archive.path = path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) throw Failure("'" + path + "' is not a regular file");
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
  archive.fileSize = static_cast<uint64_t>(st.st_size);
  gContainer.archive = file;
  gContainer.optionBlockPos = 0;
  std::memset(gContainer.archiveName, 0, sizeof gContainer.archiveName);
  std::strncpy(gContainer.archiveName, path.c_str(), sizeof gContainer.archiveName - 1);

  uint8_t solid = 0;
  ReadArchiveSettings(&solid);
  if (Capture(damage)) return archive;
  const OptionsRecord& record = gContainer.options;
  archive.archiveStart = static_cast<long>(gContainer.optionBlockPos) - kSignatureLength -
                         kOptionsRecordSize - static_cast<long>(record.tempLength) -
                         static_cast<long>(record.execLength);
  uint8_t settings = gContainer.header[kHeaderSettingsOffset];
  archive.solidFlag = (settings >> 2) & 3;
  archive.profile = settings >> 4;
  // The stub has no path for archives without a window or with a profile
  // beyond its table: such a header does not describe an archive it can read.
  if (archive.solidFlag == 0 || archive.profile >= kProfileCount) {
    OwnError(damage, 1, gContainer.optionBlockPos + static_cast<long>(kHeaderSettingsOffset));
    return archive;
  }
  PrepareDecoder(load);
  if (Capture(damage)) return archive;
  InitFileTable();
  int failed = ReadSolidHeader();
  if (Capture(damage)) return archive;
  if (failed != 0) OwnError(damage, 6, ftell(gContainer.archive));
  return archive;
}

// OpenArchive for a command that needs everything up to the data intact: any
// damage found there ends the command.
Archive OpenIntact(const std::string& path, int load) {
  Damage damage;
  Archive archive = OpenArchive(path, load, damage);
  if (damage.found()) throw Failure(Describe(path, damage));
  return archive;
}

std::vector<std::string> StoredNames() {
  std::vector<std::string> names;
  for (uint32_t i = 0; i < gFiles.count; ++i) names.emplace_back(gFiles.records[i].name);
  return names;
}

uint64_t TotalSize() {
  uint64_t total = 0;
  for (uint32_t i = 0; i < gFiles.count; ++i) total += gFiles.records[i].size;
  return total;
}

std::string ProgressText(const char* verb, uint64_t fileSize) {
  long at = ftell(gContainer.archive);
  uint64_t percent = fileSize == 0 || at < 0 ? 0 : static_cast<uint64_t>(at) * 100 / fileSize;
  return std::string("dolm: ") + verb + " " + std::to_string(percent) + "%";
}

const char* const kFieldNames[] = {"OverWriteExistingFiles",  "KeepOriginalFileAttrib",
                                   "RecreateOriginalFolders", "DeleteSFXwhenDone",
                                   "PromptUserForOptions",    "IgnoreErrors"};
const unsigned kFieldShifts[] = {kOverWriteExistingFiles, kKeepOriginalFileAttrib,
                                 kRecreateOriginalFolders, kDeleteSFXwhenDone,
                                 kPromptUserForOptions,    kIgnoreErrors};

void PrintJson(const Archive& archive, const std::vector<std::string>& reasons) {
  uint32_t word = gContainer.options.optionWord;
  printf("{\n  \"archive\": %s,\n", JsonString(archive.path).c_str());
  printf("  \"archiveOffset\": %ld,\n", archive.archiveStart);
  printf("  \"profile\": \"%uK\",\n  \"profileIndex\": %u,\n  \"windowSize\": %u,\n",
         32u << archive.profile, archive.profile, 32768u << archive.profile);
  printf("  \"solidFlag\": %u,\n  \"optionWord\": %u,\n  \"options\": {", archive.solidFlag, word);
  for (int i = 0; i < 6; ++i)
    printf("%s\n    \"%s\": %u", i ? "," : "", kFieldNames[i], OptionField(word, kFieldShifts[i]));
  printf(",\n    \"SilentExtraction\": %u\n  },\n", OptionField(word, kPromptUserForOptions) == 0 ? 1u : 0u);
  printf("  \"temporaryFolder\": %s,\n", JsonString(gStartup.tempFolder).c_str());
  printf("  \"executeFile\": %s,\n", JsonString(gContainer.execFile).c_str());
  printf("  \"executeArguments\": %s,\n", JsonString(gContainer.execArgs).c_str());
  printf("  \"fileCount\": %u,\n  \"totalSize\": %llu,\n  \"files\": [", gFiles.count,
         static_cast<unsigned long long>(TotalSize()));
  for (uint32_t i = 0; i < gFiles.count; ++i) {
    const FileRecord& r = gFiles.records[i];
    printf("%s\n    {\"name\": %s, \"size\": %u, \"time\": \"%s\", \"timeSeconds\": %u, "
           "\"attributes\": %u, \"attributeText\": \"%s\", \"unsafe\": %s}",
           i ? "," : "", JsonString(r.name).c_str(), r.size, IsoTime(r.time).c_str(), r.time,
           r.attributes, AttributeText(r.attributes).c_str(),
           reasons[i].empty() ? "null" : JsonString(reasons[i]).c_str());
  }
  printf("%s]\n}\n", gFiles.count ? "\n  " : "");
}

void PrintText(const Archive& archive, const std::vector<std::string>& reasons) {
  uint32_t word = gContainer.options.optionWord;
  printf("Archive:            %s\n", archive.path.c_str());
  printf("Archive begins at:  byte %ld\n", archive.archiveStart);
  printf("Size profile:       %uK (index %u, window %u bytes)\n", 32u << archive.profile,
         archive.profile, 32768u << archive.profile);
  printf("Option word:        0x%08X\n", word);
  for (int i = 0; i < 6; ++i)
    printf("  %-24s= %u\n", kFieldNames[i], OptionField(word, kFieldShifts[i]));
  printf("  %-24s= %u\n", "SilentExtraction", OptionField(word, kPromptUserForOptions) == 0 ? 1u : 0u);
  printf("Temporary folder:   %s\n",
         gStartup.tempFolder[0] ? gStartup.tempFolder : "(none: the system's temporary folder)");
  printf("Execute file:       %s\n", gContainer.execFile[0] ? gContainer.execFile : "(none)");
  printf("Execute arguments:  %s\n", gContainer.execArgs);
  printf("Files:              %u, %llu bytes\n\n", gFiles.count,
         static_cast<unsigned long long>(TotalSize()));
  printf("%12s  %-20s  %-4s  %s\n", "Size", "Modified (UTC)", "Attr", "Name");
  for (uint32_t i = 0; i < gFiles.count; ++i) {
    const FileRecord& r = gFiles.records[i];
    printf("%12u  %-20s  %-4s  %s%s%s\n", r.size, IsoTime(r.time).c_str(),
           AttributeText(r.attributes).c_str(), r.name, reasons[i].empty() ? "" : "   [UNSAFE: ",
           reasons[i].empty() ? "" : (reasons[i] + "]").c_str());
  }
}

size_t CountUnsafe(const std::vector<std::string>& reasons) {
  size_t count = 0;
  for (const auto& reason : reasons) count += reason.empty() ? 0 : 1;
  return count;
}

// Prints the command's help when it was asked for, and says whether it was.
bool HelpShown(const ParsedArgs& parsed, const char* help) {
  if (parsed.Has("--help")) fputs(help, stdout);
  return parsed.Has("--help");
}

std::string OneOperand(const ParsedArgs& parsed, const char* command) {
  if (parsed.operands.size() != 1)
    throw UsageError(std::string(command) + " needs exactly one archive file");
  return parsed.operands[0];
}

// Creates DIR and its missing parents.
void MakeFolderPath(const std::string& dir) {
  for (size_t cut = dir.find('/', 1);; cut = dir.find('/', cut + 1)) {
    std::string part = dir.substr(0, cut);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
      throw Failure("cannot create the folder '" + part + "': " + std::strerror(errno));
    if (cut == std::string::npos) break;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw Failure("'" + dir + "' is not a folder");
}

}  // namespace

int ListCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, {{"--json", "", false}, {"--help", "-h", false}});
  if (HelpShown(parsed, kListHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "list");
  Archive archive = OpenIntact(path, 0);
  std::vector<std::string> reasons = CheckStoredNames(StoredNames());
  if (parsed.Has("--json")) PrintJson(archive, reasons);
  else PrintText(archive, reasons);
  if (size_t unsafe = CountUnsafe(reasons))
    fprintf(stderr, "dolm: list: '%s' holds %zu stored name(s) that are unsafe to extract\n",
            path.c_str(), unsafe);
  return kExitOk;
}

int TestCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, {{"--help", "-h", false}});
  if (HelpShown(parsed, kTestHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "test");
  Archive archive = OpenIntact(path, 1);
  Damage damage;

  // The expansion runs as for an empty file table (no file is ever opened)
  // while the stub's count of bytes owed starts at INT32_MAX: every block is
  // read, checked and expanded through the stub's own window logic, nothing
  // reaches the disk, and INT32_MAX minus what is still owed is the number of
  // bytes the data holds. Data of at most kMaxArchiveData plus one window
  // never runs the count down to 0, so the figure is exact where it is used.
  uint64_t expected = TotalSize();
  std::memset(&gExpand, 0, sizeof gExpand);
  gExpand.nextFile = gFiles.count;
  gExpand.remaining = INT32_MAX;
  gExpand.writeFlag = 0;
  {
    ProgressLine progress([&] { return ProgressText("testing", archive.fileSize); });
    ExpandBlocks();
  }
  long end = ftell(gContainer.archive);
  if (Capture(damage)) throw Failure(Describe(path, damage));
  if (expected <= kMaxArchiveData) {
    uint64_t produced = static_cast<uint64_t>(INT32_MAX - static_cast<int64_t>(gExpand.remaining));
    if (produced < expected) OwnError(damage, 9, end);   // the data ends before the last file
    if (produced > expected) OwnError(damage, 16, end);  // more data than the files hold
    if (damage.found())
      throw Failure(Describe(path, damage) + " (the data holds " + std::to_string(produced) +
                    " bytes, the files " + std::to_string(expected) + ")");
  }
  fclose(gContainer.archive);
  gContainer.archive = nullptr;

  printf("'%s': archive is whole: %s, %llu bytes, window %uK\n", path.c_str(),
         CountText(gFiles.count, "file").c_str(),
         static_cast<unsigned long long>(expected), 32u << archive.profile);
  if (end >= 0 && static_cast<uint64_t>(end) < archive.fileSize)
    printf("%llu bytes after the last block (for example a signature) are not part of it\n",
           static_cast<unsigned long long>(archive.fileSize - static_cast<uint64_t>(end)));
  std::vector<std::string> names = StoredNames();
  std::vector<std::string> reasons = CheckStoredNames(names);
  if (CountUnsafe(reasons) == 0) return kExitOk;
  for (size_t i = 0; i < names.size(); ++i)
    if (!reasons[i].empty()) fprintf(stderr, "dolm: test: unsafe name '%s': %s\n", names[i].c_str(), reasons[i].c_str());
  throw Failure("'" + path + "' holds " + std::to_string(CountUnsafe(reasons)) +
                " stored name(s) that are unsafe to extract");
}

int ExtractCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, {{"--directory", "-C", true},
                                       {"--overwrite", "", false},
                                       {"--allow-unsafe-paths", "", false},
                                       {"--help", "-h", false}});
  if (HelpShown(parsed, kExtractHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "extract");
  std::string dir = parsed.Value("--directory", ".");
  bool overwrite = parsed.Has("--overwrite");
  bool allowUnsafe = parsed.Has("--allow-unsafe-paths");
  if (dir.empty()) throw UsageError("-C needs a folder");

  Archive archive = OpenIntact(path, 1);
  Damage damage;
  std::vector<std::string> names = StoredNames();
  std::vector<std::string> reasons = CheckStoredNames(names);
  if (!allowUnsafe && CountUnsafe(reasons) > 0) {
    std::string list;
    for (size_t i = 0; i < names.size(); ++i)
      if (!reasons[i].empty()) list += "\n  '" + names[i] + "': " + reasons[i];
    throw Failure("refusing to extract '" + path + "': unsafe stored names:" + list +
                  "\n(use --allow-unsafe-paths to extract them anyway)");
  }

  // The engine writes below its temporary folder; "." after changing into
  // DIR keeps every target path short and inside DIR.
  MakeFolderPath(dir);
  if (chdir(dir.c_str()) != 0)
    throw Failure("cannot change into '" + dir + "': " + std::strerror(errno));
  std::vector<std::string> existing;
  for (const auto& name : names) {
    std::string target = EffectiveName(name);
    for (char& c : target)
      if (c == '\\') c = '/';
    struct stat st;
    for (size_t cut = target.find('/'); cut != std::string::npos; cut = target.find('/', cut + 1)) {
      std::string folder = target.substr(0, cut);
      if (lstat(folder.c_str(), &st) != 0) break;
      if (S_ISLNK(st.st_mode) && !allowUnsafe)
        throw Failure("refusing to extract '" + name + "': '" + dir + "/" + folder +
                      "' is a symbolic link (use --allow-unsafe-paths to follow it)");
    }
    if (lstat(target.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) throw Failure("cannot extract '" + name + "': '" + dir + "/" + target + "' is a folder");
    if (S_ISLNK(st.st_mode) && !allowUnsafe)
      throw Failure("refusing to extract '" + name + "': '" + dir + "/" + target +
                    "' is a symbolic link (use --allow-unsafe-paths to write through it)");
    existing.push_back(dir + "/" + target);
  }
  if (!existing.empty() && !overwrite)
    throw Failure("'" + existing[0] + "' exists already" +
                  (existing.size() > 1 ? " (and " + std::to_string(existing.size() - 1) + " more)" : "") +
                  "; use --overwrite to replace existing files");

  // Stored folders, times and attributes are always restored here, whatever the
  // stored option word says for the self-extractor's own run.
  uint32_t& word = gContainer.options.optionWord;
  word = (word & ~(3u << kRecreateOriginalFolders)) | (1u << kRecreateOriginalFolders);
  word = (word & ~(3u << kKeepOriginalFileAttrib)) | (1u << kKeepOriginalFileAttrib);
  gOverwriteAll = overwrite ? 1 : 0;
  std::memset(gStartup.tempFolder, 0, sizeof gStartup.tempFolder);
  gStartup.tempFolder[0] = '.';
  {
    ProgressLine progress([&] { return ProgressText("extracting", archive.fileSize); });
    BeginFiles();
  }
  Capture(damage);
  // A file whose bytes did not all arrive is closed and removed, so that no
  // half-written file is left behind.
  std::string incomplete;
  if (gExpand.outputFile != nullptr) {
    FinishFile(gExpand.outputFile, gExpand.nextFile - 1, 0);
    gExpand.outputFile = nullptr;
    incomplete = EffectiveName(gExpand.currentName);
    for (char& c : incomplete)
      if (c == '\\') c = '/';
    unlink(incomplete.c_str());
    if (!damage.found()) OwnError(damage, 9, ftell(gContainer.archive));
  } else if (!damage.found() && gExpand.nextFile < gFiles.count) {
    OwnError(damage, 9, ftell(gContainer.archive));
  }
  fclose(gContainer.archive);
  gContainer.archive = nullptr;
  if (damage.found())
    throw Failure("extraction stopped: " + Describe(path, damage) +
                  (incomplete.empty() ? "" : "; the incomplete '" + dir + "/" + incomplete + "' was removed"));
  printf("extracted %s (%llu bytes) from '%s' into '%s'\n", CountText(gFiles.count, "file").c_str(),
         static_cast<unsigned long long>(TotalSize()), path.c_str(), dir.c_str());
  return kExitOk;
}

}  // namespace tool
