// dolm list, test and extract: read a self-extractor with the stub's own
// engine, through the same extraction context as the stub, stopping at the
// first failure.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "format/format.h"
#include "startup/startup.h"
#include "tool/codepage.h"
#include "tool/display.h"
#include "tool/extract_sink.h"
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
    "  --json         print the listing as one JSON object\n"
    "  --codepage N   read stored names in Windows code page N (default: UTF-8\n"
    "                 where a name is valid UTF-8, else 1252)\n"
    "  -h, --help     show this text\n";

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

const char kExtractHelp[] =
    "Usage: dolm extract FILE [-C DIR] [--overwrite] [--max-size SIZE] [--allow-unsafe-paths]\n"
    "\n"
    "Extracts the stored files below DIR (default: the current folder), with\n"
    "their stored folders, times and attributes. Nothing is run. Every folder and\n"
    "file is opened below DIR without following symbolic links, and an archive\n"
    "whose declared size does not fit the free space of DIR is refused before\n"
    "anything is written.\n"
    "\n"
    "  -C, --directory DIR    extract below DIR (created when missing)\n"
    "  --overwrite            replace files that exist already (removed and\n"
    "                         created anew, never written through)\n"
    "  --max-size SIZE        refuse an archive that declares more than SIZE bytes\n"
    "                         (suffixes K, M, G: powers of 1024)\n"
    "  --allow-unsafe-paths   extract names with '..', absolute paths, drive\n"
    "                         letters or device names\n"
    "  --codepage N           read stored names in Windows code page N (default:\n"
    "                         UTF-8 where a name is valid UTF-8, else 1252)\n"
    "  -h, --help             show this text\n";

// An archive opened for inspection: the stub's run context and what the
// listing shows of it.
struct Archive {
  std::unique_ptr<StubRun> run{new StubRun()};
  std::string path;
  uint64_t fileSize = 0;
  long archiveStart = 0;
  uint8_t profile = 0;
  ~Archive() { EndInspection(run.get()); }
};

// "'<path>': Error #N: <text> (found at byte offset X)" for the run's first failure.
std::string Describe(const Archive& archive) {
  const Fault& fault = archive.run->faults.first;
  char text[520];
  FormatErrorText(fault, archive.run->archive.name, text, sizeof text);
  long offset = fault.offset >= 0 ? static_cast<long>(fault.offset)
                                  : archive.run->archive.file ? ftell(archive.run->archive.file) : 0;
  return "'" + Shown(archive.path) + "': " + OneLine(text) + " (found at byte offset " + std::to_string(offset) + ")";
}

// What Describe adds for a failure that names a stored file.
std::string SubjectDetail(const Archive& archive) {
  const Fault& fault = archive.run->faults.first;
  if (fault.error != kErrorInconsistent || fault.subject[0] == '\0') return "";
  return " (the file '" + Shown(fault.subject) + "' declares more than the 2147483647 bytes an extraction handles)";
}

// Opens the archive and reads everything up to the first data block; with
// load set the decoder memory is reserved too, for the expansion. Any damage
// found there ends the command.
void OpenIntact(Archive* archive, const std::string& path, bool load) {
  archive->path = path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) throw Failure("'" + path + "' is not a regular file");
  archive->fileSize = static_cast<uint64_t>(st.st_size);
  StubRun* run = archive->run.get();
  Result opened = OpenForInspection(run, path.c_str(), load);
  if (opened.error == kStopNoTableMemory || opened.error == kStopNoTreePool)
    throw Failure("'" + path + "': not enough memory for its list of files");
  if (opened.error == kErrorCannotOpen) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
  if (!opened.ok()) throw Failure(Describe(*archive));
  const OptionsRecord& record = run->options.record;
  archive->archiveStart = static_cast<long>(run->archive.optionBlockPos) - kSignatureLength -
                          kOptionsRecordSize - static_cast<long>(record.tempLength) -
                          static_cast<long>(record.execLength);
  archive->profile = ProfileIndexOf(run->archive.header);
}

const FileTable& Files(const Archive& archive) { return archive.run->files; }
const StoredOptions& Options(const Archive& archive) { return archive.run->options; }

// The stored names, read from the file table one at a time.
ArchiveNames ReadNames(const Archive& archive, int codePage) {
  const FileTable* files = &Files(archive);
  return ReadStoredNames(files->count, [files](size_t i) { return std::string(files->records[i].name); },
                         codePage);
}

uint64_t TotalSize(const Archive& archive) {
  uint64_t total = 0;
  for (uint32_t i = 0; i < Files(archive).count; ++i) total += Files(archive).records[i].size;
  return total;
}

// The declared total against the size of the archive's file.
double DeclaredRatio(const Archive& archive) {
  return archive.fileSize == 0 ? 0.0 : static_cast<double>(TotalSize(archive)) / static_cast<double>(archive.fileSize);
}

// "1G", "500M", "4096": a size in bytes with an optional binary suffix.
uint64_t ParseSize(const std::string& text) {
  size_t used = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  std::string suffix = text.substr(used == 0 ? text.size() : used);
  int shift = suffix.empty() ? 0 : suffix == "K" || suffix == "k" ? 10 : suffix == "M" ? 20 : suffix == "G" ? 30 : -1;
  if (used == 0 || shift < 0 || text[0] == '-' || value > (UINT64_MAX >> shift))
    throw UsageError("--max-size takes a number of bytes with an optional K, M or G: '" + text + "'");
  return static_cast<uint64_t>(value) << shift;
}

// Refuses, before anything is written, an archive that declares more than
// the target's free space or than the limit the user gave.
void CheckDeclaredSize(const Archive& archive, int rootFd, const std::string& dir, uint64_t limit) {
  const uint64_t declared = TotalSize(archive);
  if (limit != 0 && declared > limit)
    throw Failure("'" + Shown(archive.path) + "' declares " + std::to_string(declared) +
                  " bytes, more than --max-size " + std::to_string(limit));
  struct statvfs fs;
  if (fstatvfs(rootFd, &fs) != 0) return;
  const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  if (declared > free)
    throw Failure("'" + Shown(archive.path) + "' declares " + std::to_string(declared) + " bytes, but '" +
                  Shown(dir) + "' has only " + std::to_string(free) + " bytes free");
}

std::string ProgressText(const char* verb, const Archive& archive) {
  long at = ftell(archive.run->archive.file);
  uint64_t percent = archive.fileSize == 0 || at < 0 ? 0 : static_cast<uint64_t>(at) * 100 / archive.fileSize;
  return std::string("dolm: ") + verb + " " + std::to_string(percent) + "%";
}

const char* const kFieldNames[] = {"OverWriteExistingFiles",  "KeepOriginalFileAttrib",
                                   "RecreateOriginalFolders", "DeleteSFXwhenDone",
                                   "PromptUserForOptions",    "IgnoreErrors"};
const unsigned kFieldShifts[] = {kOverWriteExistingFiles, kKeepOriginalFileAttrib,
                                 kRecreateOriginalFolders, kDeleteSFXwhenDone,
                                 kPromptUserForOptions,    kIgnoreErrors};

void PrintJson(const Archive& archive, const ArchiveNames& names, int codePage) {
  const StoredOptions& stored = Options(archive);
  const FileTable& files = Files(archive);
  uint32_t word = stored.record.optionWord;
  printf("{\n  \"archive\": %s,\n", JsonString(archive.path).c_str());
  printf("  \"archiveOffset\": %ld,\n", archive.archiveStart);
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
           "\"attributes\": %u, \"attributeText\": \"%s\", \"unsafe\": %s}",
           i ? "," : "", JsonName(names[i]).c_str(), r.size, IsoTime(r.time).c_str(), r.time,
           r.attributes, AttributeText(r.attributes).c_str(),
           names[i].problem.empty() ? "null" : JsonString(names[i].problem).c_str());
  }
  printf("%s]\n}\n", files.count ? "\n  " : "");
}

void PrintText(const Archive& archive, const ArchiveNames& names, int codePage) {
  const StoredOptions& stored = Options(archive);
  const FileTable& files = Files(archive);
  uint32_t word = stored.record.optionWord;
  printf("Archive:            %s\n", Shown(archive.path).c_str());
  printf("Archive begins at:  byte %ld\n", archive.archiveStart);
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
  printf("%12s  %-20s  %-4s  %s\n", "Size", "Modified (UTC)", "Attr", "Name");
  for (uint32_t i = 0; i < files.count; ++i) {
    const FileRecord& r = files.records[i];
    printf("%12u  %-20s  %-4s  %s%s%s\n", r.size, IsoTime(r.time).c_str(),
           AttributeText(r.attributes).c_str(), Shown(names[i].utf8).c_str(),
           names[i].problem.empty() ? "" : "   [UNSAFE: ",
           names[i].problem.empty() ? "" : (Shown(names[i].problem) + "]").c_str());
  }
}

size_t CountUnsafe(const ArchiveNames& names) { return names.problems.size(); }

// Says on stderr which names cannot be read in the code page, and why.
void ReportUnreadable(const char* command, const ArchiveNames& names) {
  for (uint32_t i : names.unreadable)
    if (const NameInArchive name = names[i]; !name.readable)
      fprintf(stderr, "dolm: %s: the stored name '%s' (bytes %s) cannot be read: %s\n", command,
              Shown(name.stored).c_str(), HexText(name.stored).c_str(), name.problem.c_str());
}

// No file is written under a name that is not what its maker meant.
void RefuseUnreadable(const std::string& path, const ArchiveNames& names) {
  for (uint32_t i : names.unreadable)
    if (const NameInArchive name = names[i]; !name.readable)
      throw Failure("refusing to extract '" + path + "': the stored name '" + Shown(name.stored) +
                    "' (bytes " + HexText(name.stored) + ") cannot be read: " + name.problem);
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
  ParsedArgs parsed = ParseArgs(args, {{"--json", "", false}, {"--codepage", "", true},
                                       {"--help", "-h", false}});
  if (HelpShown(parsed, kListHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "list");
  int codePage = ReadingCodePage(parsed);
  Archive archive;
  OpenIntact(&archive, path, false);
  ArchiveNames names = ReadNames(archive, codePage);
  if (parsed.Has("--json")) PrintJson(archive, names, codePage);
  else PrintText(archive, names, codePage);
  ReportUnreadable("list", names);
  if (size_t unsafe = CountUnsafe(names))
    fprintf(stderr, "dolm: list: '%s' holds %zu stored name(s) that are unsafe to extract\n",
            Shown(path).c_str(), unsafe);
  return kExitOk;
}

int TestCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, {{"--codepage", "", true}, {"--help", "-h", false}});
  if (HelpShown(parsed, kTestHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "test");
  int codePage = ReadingCodePage(parsed);
  Archive archive;
  OpenIntact(&archive, path, true);
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
    if (checked.error == kErrorEndOfArchive || checked.error == kErrorInconsistent)
      detail = " (the data holds " + std::to_string(archive.run->expansion.produced) + " bytes, the files " +
               std::to_string(expected) + ")";
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
  for (const auto& problem : names.problems)
    fprintf(stderr, "dolm: test: unsafe name '%s': %s\n", Shown(names[problem.first].utf8).c_str(),
            Shown(problem.second).c_str());
  throw Failure("'" + path + "' holds " + std::to_string(CountUnsafe(names)) +
                " stored name(s) that are unsafe to extract");
}

namespace {

// Refuses unreadable and unsafe names (unless allowed) and names that exist
// already below the target (unless overwriting), before anything is
// written; returns the names to create, as UTF-8.
std::vector<std::string> CheckTargets(const Archive& archive, int codePage, int rootFd, const std::string& dir,
                                      bool overwrite, bool allowUnsafe) {
  ArchiveNames read = ReadNames(archive, codePage);
  RefuseUnreadable(archive.path, read);
  if (!allowUnsafe && CountUnsafe(read) > 0) {
    std::string list;
    for (const auto& problem : read.problems)
      list += "\n  '" + Shown(read[problem.first].utf8) + "': " + Shown(problem.second);
    throw Failure("refusing to extract '" + archive.path + "': unsafe stored names:" + list +
                  "\n(use --allow-unsafe-paths to extract them anyway)");
  }
  std::vector<std::string> names;
  for (size_t i = 0; i < read.size(); ++i) names.push_back(read[i].utf8);
  std::vector<std::string> existing;
  for (const auto& name : names) {
    std::string target = EffectiveName(name);
    for (char& c : target)
      if (c == '\\') c = '/';
    while (!target.empty() && target[0] == '/') target.erase(0, 1);
    struct stat st;
    if (fstatat(rootFd, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode))
      throw Failure("cannot extract '" + Shown(name) + "': '" + Shown(dir + "/" + target) + "' is a folder");
    existing.push_back(dir + "/" + target);
  }
  if (!existing.empty() && !overwrite)
    throw Failure("'" + Shown(existing[0]) + "' exists already" +
                  (existing.size() > 1 ? " (and " + std::to_string(existing.size() - 1) + " more)" : "") +
                  "; use --overwrite to replace existing files");
  return names;
}

}  // namespace

int ExtractCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, {{"--directory", "-C", true},
                                       {"--overwrite", "", false},
                                       {"--allow-unsafe-paths", "", false},
                                       {"--max-size", "", true},
                                       {"--codepage", "", true},
                                       {"--help", "-h", false}});
  if (HelpShown(parsed, kExtractHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "extract");
  std::string dir = parsed.Value("--directory", ".");
  if (dir.empty()) throw UsageError("-C needs a folder");
  int codePage = ReadingCodePage(parsed);
  const uint64_t limit = parsed.Has("--max-size") ? ParseSize(parsed.Value("--max-size")) : 0;

  Archive archive;
  OpenIntact(&archive, path, true);
  MakeFolderPath(dir);
  ExtractTarget target;
  target.rootFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (target.rootFd < 0) throw Failure("cannot open the folder '" + dir + "': " + std::strerror(errno));
  struct CloseRoot {
    int fd;
    ~CloseRoot() { close(fd); }
  } closeRoot{target.rootFd};
  target.root = dir;
  target.overwrite = parsed.Has("--overwrite");
  target.umask = umask(0);
  umask(target.umask);
  target.faults = &archive.run->faults;
  CheckDeclaredSize(archive, target.rootFd, dir, limit);
  // The files are created under the names read in the code page, as UTF-8.
  target.names = CheckTargets(archive, codePage, target.rootFd, dir, target.overwrite,
                              parsed.Has("--allow-unsafe-paths"));

  Result extracted;
  {
    ProgressLine progress([&] { return ProgressText("extracting", archive); });
    extracted = ExpandInto(archive.run.get(), ExtractSink(&target));
  }
  // A file whose bytes did not all arrive is removed, so that no
  // half-written file is left behind.
  Result ended = EndExpansion(&archive.run->expansion, HalfFile::kRemove);
  (void)ended;  // removing gives nothing to report
  if (!extracted.ok()) {
    const Fault& fault = archive.run->faults.first;
    std::string removed = target.removed.empty() ? "" : "; the incomplete '" + Shown(target.removed) + "' was removed";
    if (fault.error == kErrorCannotOpen || fault.error == kErrorWriteFailed)
      throw Failure("cannot write '" + Shown(fault.subject) + "': " + target.reason + removed);
    throw Failure("extraction stopped: " + Describe(archive) + SubjectDetail(archive) + removed);
  }
  printf("extracted %s (%llu bytes) from '%s' into '%s'\n", CountText(Files(archive).count, "file").c_str(),
         static_cast<unsigned long long>(TotalSize(archive)), Shown(path).c_str(), Shown(dir).c_str());
  return kExitOk;
}

}  // namespace tool
