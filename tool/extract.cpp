// dolm extract: the stored files of a self-extractor written below a folder,
// every name checked and the declared size compared with the free space first.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "tool/commands.h"
#include "tool/display.h"
#include "tool/extract_sink.h"
#include "tool/open_archive.h"
#include "tool/names.h"
#include "tool/progress.h"

namespace tool {

namespace {

const char kExtractHelp[] =
    "Usage: dolm extract FILE [-C DIR] [--overwrite] [--max-size SIZE] [--allow-unsafe-paths]\n"
    "                    [--allow-unsafe-links]\n"
    "\n"
    "Extracts the stored files below DIR (default: the current folder), with\n"
    "their stored folders, times and attributes. Nothing is run. Every folder and\n"
    "file is opened below DIR without following symbolic links, and an archive\n"
    "whose declared size, files and folders (one block and one entry each) do\n"
    "not fit the free space of DIR is refused before anything is written.\n"
    "An archive with the extension record (dolm pack's default) is read and\n"
    "checked whole first: a damaged one writes nothing; and each file is\n"
    "written under a temporary name and takes its own only when complete.\n"
    "\n"
    "  -C, --directory DIR    extract below DIR (created when missing)\n"
    "  --overwrite            replace files that exist already (never written\n"
    "                         through: removed and created anew, or with the\n"
    "                         record renamed over once the new one is whole)\n"
    "  --max-size SIZE        refuse an archive that needs more than SIZE bytes,\n"
    "                         counting a block for each file and folder\n"
    "                         (suffixes K, M, G: powers of 1024)\n"
    "  --allow-unsafe-paths   extract names with '..', absolute paths, drive\n"
    "                         letters or device names\n"
    "  --allow-unsafe-links   make symbolic links that lead out of DIR (absolute,\n"
    "                         or '..' above DIR or after a name); refused without\n"
    "With Unix entries (dolm pack's default) files get their stored modes, empty\n"
    "folders are made, and links are made last, never written through.\n"
    "  --codepage N           read stored names in Windows code page N (default:\n"
    "                         UTF-8 where a name is valid UTF-8, else 1252); an\n"
    "                         archive whose settings record stores its names as\n"
    "                         UTF-8 is read so\n"
    "  -h, --help             show this text\n";

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
// the target's free space or than the limit the user gave. Each file and
// folder takes one entry (an inode) and one block besides its bytes.
void CheckDeclaredSize(const Archive& archive, uint64_t folders, int rootFd, const std::string& dir, uint64_t limit) {
  const uint64_t declared = TotalSize(archive), entries = Files(archive).count + folders;
  struct statvfs fs;
  const bool known = fstatvfs(rootFd, &fs) == 0;
  const uint64_t block = known && fs.f_frsize > 0 ? fs.f_frsize : 4096;
  const uint64_t needed = declared + entries * block;
  const std::string what = "'" + Shown(archive.path) + "' declares " + std::to_string(declared) + " bytes";
  const std::string counted = " for " + CountText(Files(archive).count, "file") + " and " + CountText(folders, "folder") +
                              " (" + std::to_string(needed) + " bytes with a block of " + std::to_string(block) +
                              " for each)";
  if (limit != 0 && needed > limit)
    throw Failure(what + counted + ", more than --max-size " + std::to_string(limit));
  if (!known) return;
  // A file system that counts no inodes (f_files 0) has no limit on them.
  if (fs.f_files != 0 && entries > fs.f_favail)
    throw Failure("'" + Shown(archive.path) + "' holds " + CountText(Files(archive).count, "file") + " and " +
                  CountText(folders, "folder") + ", but '" + Shown(dir) + "' has room for only " +
                  std::to_string(fs.f_favail) + " more entries");
  const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  if (needed > free)
    throw Failure(what + ", but '" + Shown(dir) + "' has only " + std::to_string(free) + " bytes free" + counted);
}


// What a refused link adds to its message.
std::string LinkHint(const Archive& archive) {
  return archive.run->faults.first.error == kStopUnsafeLink ? "\n(use --allow-unsafe-links to make it anyway)" : "";
}

// No file is written under a name that is not what its maker meant.
void RefuseUnreadable(const std::string& path, const ArchiveNames& names) {
  for (uint32_t i : names.unreadable)
    if (const NameInArchive name = names[i]; !name.readable)
      throw Failure("refusing to extract '" + path + "': the stored name '" + Shown(name.stored) +
                    "' (bytes " + HexText(name.stored) + ") cannot be read: " + name.problem);
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


// Refuses unreadable and unsafe names (unless allowed) and names that exist
// already below the target (unless overwriting), before anything is
// written; returns the names to create, as UTF-8.
std::vector<std::string> CheckTargets(const Archive& archive, int codePage, int rootFd, const std::string& dir,
                                      bool overwrite, bool allowUnsafe) {
  ArchiveNames read = ReadNames(archive, codePage);
  RefuseUnreadable(archive.path, read);
  if (!allowUnsafe && CountUnsafe(read) > 0) {
    std::string list;
    size_t shown = 0;
    for (auto problem = read.problems.begin(); problem != read.problems.end() && shown++ < kNamesShown; ++problem)
      list += "\n  '" + Shown(read[problem->index].utf8) + "': " + Shown(read[problem->index].problem);
    if (CountUnsafe(read) > kNamesShown) list += "\n  " + MoreNames(CountUnsafe(read));
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
    // A stored folder that is there already is simply used.
    const size_t index = static_cast<size_t>(&name - names.data());
    if (S_ISDIR(st.st_mode) && KindOf(Files(archive).records[index]) == EntryKind::kFolder) continue;
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

std::vector<OptionDef> ExtractOptions() {
  return {{"--directory", "-C", true, "DIR"},
          {"--overwrite", "", false},
          {"--allow-unsafe-paths", "", false},
          {"--allow-unsafe-links", "", false},
          {"--max-size", "", true},
          {"--codepage", "", true, CodePageWords()},
          {"--help", "-h", false}};
}

int ExtractCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, ExtractOptions());
  if (HelpShown(parsed, kExtractHelp)) return kExitOk;
  std::string path = OneOperand(parsed, "extract");
  std::string dir = parsed.Value("--directory", ".");
  if (dir.empty()) throw UsageError("-C needs a folder");
  int codePage = ReadingCodePage(parsed);
  const uint64_t limit = parsed.Has("--max-size") ? ParseSize(parsed.Value("--max-size")) : 0;

  Archive archive;
  OpenIntact(&archive, path, Reading::kData);
  // An archive that asks for it is read whole before the first file (or
  // folder) is written, and its files are written under temporary names.
  const bool checkFirst = Asks(Options(archive), kBehaveCheckFirst);
  const bool allowUnsafeLinks = parsed.Has("--allow-unsafe-links");
  if (checkFirst) {
    Result checked;
    {
      ProgressLine progress([&] { return ProgressText("checking", archive); });
      // The check also refuses a link that would lead out of DIR, unless allowed.
      checked = allowUnsafeLinks ? CheckBeforeWriting(archive.run.get(), NullSink())
                                 : CheckBeforeWriting(archive.run.get());
    }
    if (!checked.ok())
      throw Failure("nothing was extracted: " + Describe(archive) + SubjectDetail(archive) + LinkHint(archive));
  }
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
  target.temporaryNames = checkFirst;
  target.allowUnsafeLinks = allowUnsafeLinks;
  target.umask = umask(0);
  umask(target.umask);
  target.faults = &archive.run->faults;
  // The files are created under the names read in the code page, as UTF-8.
  target.names = CheckTargets(archive, codePage, target.rootFd, dir, target.overwrite,
                              parsed.Has("--allow-unsafe-paths"));
  CheckDeclaredSize(archive, CountFolders(target.names), target.rootFd, dir, limit);

  Result extracted;
  {
    ProgressLine progress([&] { return ProgressText("extracting", archive); });
    extracted = ExpandInto(archive.run.get(), ExtractSink(&target));
    // The links last: no file is written through one.
    if (extracted.ok()) extracted = MakeHeldLinks(&target);
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
    throw Failure("extraction stopped: " + Describe(archive) + SubjectDetail(archive) + removed + LinkHint(archive));
  }
  printf("extracted %s (%llu bytes) from '%s' into '%s'\n", CountText(Files(archive).count, "file").c_str(),
         static_cast<unsigned long long>(TotalSize(archive)), Shown(path).c_str(), Shown(dir).c_str());
  return kExitOk;
}

}  // namespace tool
