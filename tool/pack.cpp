// dolm pack: gathers files and folders, packs them into an archive and joins
// it to a stub, giving a ready self-extractor.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "container/format.h"
#include "packer/packer.h"
#include "tool/codepage.h"
#include "tool/display.h"
#include "tool/tool.h"

namespace tool {

namespace {

const char kPackHelp[] =
    "Usage: dolm pack -o OUT [options] INPUT...\n"
    "\n"
    "Packs files and folders (folders recursively, in sorted order) into a\n"
    "self-extractor. Each input is stored under its own name: the folder\n"
    "'a/b/docs' is stored as 'docs\\...'.\n"
    "\n"
    "  -o, --output OUT        the self-extractor to write (replaced atomically)\n"
    "  --stub KIND|PATH        win32 (default), win64, linux, or the path of a stub\n"
    "  --window SIZE           size profile 32K 64K 128K 256K 512K 1024K 2048K\n"
    "                          4096K 8192K (default: the smallest that holds all\n"
    "                          data, at most 2048K)\n"
    "  --level N               compression level 1 (fast) to 9 (small); default 6\n"
    "  --exec FILE             stored file to start after extraction\n"
    "  --args TEXT             arguments for the execute file\n"
    "  --temp DIR              stored extraction folder (default: the system's\n"
    "                          temporary folder)\n"
    "  --codepage N            Windows code page of the stored names, the execute\n"
    "                          file, its arguments and the folder: 1252 (default),\n"
    "                          1250-1258, 874, 932, 936, 949, 950, 65001 (UTF-8)\n"
    "Stored option word (defaults: keep attributes, recreate folders, prompt):\n"
    "  --overwrite             overwrite existing files without asking\n"
    "  --keep-attributes       give files their stored times and attributes\n"
    "  --no-keep-attributes    leave times and attributes to the extraction\n"
    "  --recreate-folders      recreate the stored folders\n"
    "  --flat                  put every file straight into the extraction folder\n"
    "  --delete-when-done      remove the extracted files when the execute file ends\n"
    "  --prompt                not silent\n"
    "  --silent                silent extraction\n"
    "  --ignore-errors         show no error messages and go on after errors\n"
    "Windows stubs only (resources of the self-extractor):\n"
    "  --icon FILE.ico         application icon (replaces the stub's own)\n"
    "  --version-info NAME=VALUE  version text (repeatable); NAME is CompanyName,\n"
    "                          FileDescription, FileVersion, InternalName,\n"
    "                          LegalCopyright, OriginalFilename, ProductName,\n"
    "                          ProductVersion or Comments\n"
    "  --execution-level LEVEL asInvoker, highestAvailable or requireAdministrator\n"
    "                          (an application manifest; none without it)\n"
    "  -h, --help              show this text\n"
    "\n"
    "Stored times are the files' modification times, capped by SOURCE_DATE_EPOCH\n"
    "when it is set; the same inputs and options give the same bytes.\n";

const std::vector<OptionDef> kPackOptions = {
    {"--output", "-o", true},         {"--stub", "", true},
    {"--window", "", true},           {"--level", "", true},
    {"--exec", "", true},             {"--args", "", true},
    {"--temp", "", true},             {"--overwrite", "", false},
    {"--codepage", "", true},
    {"--keep-attributes", "", false}, {"--no-keep-attributes", "", false},
    {"--recreate-folders", "", false}, {"--flat", "", false},
    {"--delete-when-done", "", false}, {"--prompt", "", false},
    {"--silent", "", false},          {"--ignore-errors", "", false},
    {"--icon", "", true},             {"--version-info", "", true},
    {"--execution-level", "", true},  {"--help", "-h", false},
};

// The stub counts the bytes still owed to one file in a signed 32-bit number.
constexpr uint64_t kMaxFileSize = 0x7FFFFFFF;
constexpr unsigned kMaxNameLength = 255;  // one byte in the file entry
constexpr unsigned kMaxPathText = 259;    // the stub's path buffers
constexpr int kDefaultMaxProfile = 6;     // 2048K

struct Source {
  std::vector<std::string> components;  // stored path, folder by folder
  std::string path;                     // where it is on disk
};

std::string Errno() { return std::strerror(errno); }

std::string StoredName(const std::vector<std::string>& components) {
  std::string name;
  for (const auto& component : components) name += (name.empty() ? "" : "\\") + component;
  return name;
}

struct Walk {
  dev_t outputDevice = 0;
  ino_t outputInode = 0;
  bool haveOutput = false;
  std::vector<std::pair<dev_t, ino_t>> ancestors;  // open folders, against link loops
  std::vector<Source> sources;

  void Add(const std::string& path, std::vector<std::string> components) {
    if (components.back().find('\\') != std::string::npos)
      throw Failure("'" + path + "': the name holds a backslash, which separates folders in "
                    "stored names");
    struct stat st;
    if (stat(path.c_str(), &st) != 0) throw Failure("cannot read '" + path + "': " + Errno());
    if (S_ISREG(st.st_mode)) {
      if (haveOutput && st.st_dev == outputDevice && st.st_ino == outputInode) {
        fprintf(stderr, "dolm: pack: leaving out '%s', the output file itself\n", Shown(path).c_str());
        return;
      }
      sources.push_back({std::move(components), path});
      return;
    }
    if (!S_ISDIR(st.st_mode))
      throw Failure("'" + path + "' is neither a regular file nor a folder");
    for (const auto& open : ancestors)
      if (open.first == st.st_dev && open.second == st.st_ino)
        throw Failure("'" + path + "' is a link back to a folder that holds it");
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) throw Failure("cannot read the folder '" + path + "': " + Errno());
    std::vector<std::string> entries;
    errno = 0;
    while (struct dirent* entry = readdir(folder)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        entries.emplace_back(entry->d_name);
      errno = 0;
    }
    int readError = errno;
    closedir(folder);
    if (readError != 0)
      throw Failure("cannot read the folder '" + path + "': " + std::strerror(readError));
    if (entries.empty())
      fprintf(stderr, "dolm: pack: the empty folder '%s' is not stored (archives hold files only)\n",
              Shown(path).c_str());
    std::sort(entries.begin(), entries.end());
    ancestors.emplace_back(st.st_dev, st.st_ino);
    for (const auto& entry : entries) {
      std::vector<std::string> child = components;
      child.push_back(entry);
      Add(path + "/" + entry, std::move(child));
    }
    ancestors.pop_back();
  }
};

// The name an input is stored under: its last path component (for "." or a
// path ending in "..", the name of the folder it resolves to).
std::string InputName(const std::string& input) {
  std::string trimmed = input;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::string last = trimmed.substr(trimmed.rfind('/') == std::string::npos ? 0 : trimmed.rfind('/') + 1);
  if (last == "." || last == "..") {
    char* resolved = realpath(trimmed.c_str(), nullptr);
    if (resolved == nullptr) throw Failure("cannot read '" + input + "': " + Errno());
    std::string full = resolved;
    free(resolved);
    last = full.substr(full.rfind('/') + 1);
  }
  if (last.empty() || last == "/")
    throw Failure("'" + input + "' has no name to store it under; pack the files inside it");
  return last;
}

struct LoadedFile {
  packer::Bytes data;
  uint32_t time;
  uint8_t attributes;
};

LoadedFile LoadFile(const std::string& path, const char* epochText, uint64_t epoch) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Failure("cannot open '" + path + "': " + Errno());
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    throw Failure("cannot read '" + path + "': " + Errno());
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) {
    close(fd);
    throw Failure("'" + path + "' is " + std::to_string(st.st_size) +
                  " bytes; a stored file can hold at most 2 GiB - 1 bytes");
  }
  LoadedFile file;
  file.data.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < file.data.size()) {
    ssize_t got = read(fd, file.data.data() + done, file.data.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      throw Failure("cannot read '" + path + "': " + Errno());
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  char extra;
  bool grew = done == file.data.size() && read(fd, &extra, 1) > 0;
  close(fd);
  if (done != file.data.size() || grew) throw Failure("'" + path + "' changed while it was read");
  // Times before 1970 or past 2106 do not fit the stored 32-bit field.
  int64_t mtime = static_cast<int64_t>(st.st_mtime);
  uint64_t seconds = mtime < 0 ? 0 : static_cast<uint64_t>(mtime);
  if (epochText != nullptr && seconds > epoch) seconds = epoch;
  file.time = static_cast<uint32_t>(std::min<uint64_t>(seconds, 0xFFFFFFFFu));
  file.attributes = static_cast<uint8_t>(0x20 | ((st.st_mode & S_IWUSR) ? 0 : 0x01));
  return file;
}

int ParseProfile(const std::string& text) {
  std::string digits = text;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) digits.pop_back();
  for (int index = 0; index < static_cast<int>(kProfileCount); ++index)
    if (digits == std::to_string(32 << index)) return index;
  throw UsageError("--window '" + text +
                   "' is not a size profile; use 32K, 64K, 128K, 256K, 512K, 1024K, 2048K, "
                   "4096K or 8192K");
}

int ParseLevel(const std::string& text) {
  if (text.size() == 1 && text[0] >= '1' && text[0] <= '9') return text[0] - '0';
  throw UsageError("--level '" + text + "' is not a level from 1 to 9");
}

std::string FindStub(const std::string& choice) {
  std::string file;
  if (choice == "win32") file = "dolmsfx-win32.exe";
  else if (choice == "win64") file = "dolmsfx-win64.exe";
  else if (choice == "linux") file = "dolmsfx-linux";
  struct stat st;
  if (file.empty()) {
    if (stat(choice.c_str(), &st) != 0) throw Failure("cannot read the stub '" + choice + "': " + Errno());
    if (!S_ISREG(st.st_mode)) throw Failure("the stub '" + choice + "' is not a regular file");
    return choice;
  }
  // Installed layout first, then the build tree (stubs/ beside the tool).
  std::string home = ExecutableFolder();
  std::vector<std::string> places = {home + "/../share/dolm/" + file, home + "/stubs/" + file};
  for (const auto& place : places)
    if (stat(place.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return place;
  throw Failure("no " + choice + " stub found (looked for " + places[0] + " and " + places[1] +
                "); give its path with --stub PATH");
}

// The stub finds its archive only as the second copy of the overlay signature
// inside its search window, so the image must hold exactly one and be short
// enough. Checked before the inputs are read and compressed.
void CheckStub(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) throw Failure("cannot read the stub '" + path + "': " + Errno());
  std::vector<char> image(kSearchWindow + 1);
  size_t size = fread(image.data(), 1, image.size(), file);
  fclose(file);
  if (size > kMaxArchiveStart)
    throw Failure("the stub '" + path + "' is longer than " + std::to_string(kMaxArchiveStart) +
                  " bytes; its archive would lie beyond the stub's search window");
  const std::string signature = DOLM_OVERLAY_SIGNATURE;
  std::string text(image.data(), size);
  size_t copies = 0;
  for (size_t at = text.find(signature); at != std::string::npos; at = text.find(signature, at + 1)) ++copies;
  if (copies != 1)
    throw Failure("the stub '" + path + "' holds " + std::to_string(copies) +
                  " copies of the overlay signature instead of exactly one");
}

// The output's folder must take a new file; checked before the long work.
void CheckOutputFolder(const std::string& out) {
  size_t slash = out.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
  if (access(folder.c_str(), W_OK) != 0)
    throw Failure("cannot write '" + out + "': its folder '" + folder + "': " + Errno());
}

uint32_t SetField(uint32_t word, unsigned shift, bool on) {
  word &= ~(3u << shift);
  return on ? word | (1u << shift) : word;
}

// A stored name the execute file can be found under, for a warning when none matches.
bool NamesStoredFile(const std::string& exec, const std::vector<std::string>& names, bool flat) {
  auto fold = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  for (const auto& name : names) {
    std::string effective = EffectiveName(name);
    if (flat) effective = effective.substr(effective.rfind('\\') == std::string::npos ? 0 : effective.rfind('\\') + 1);
    if (fold(effective) == fold(exec)) return true;
  }
  return false;
}

}  // namespace

int PackCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, kPackOptions);
  if (parsed.Has("--help")) {
    fputs(kPackHelp, stdout);
    return kExitOk;
  }
  std::string out = parsed.Value("--output");
  if (out.empty()) throw UsageError("pack needs the output file: -o OUT");
  if (parsed.operands.empty()) throw UsageError("pack needs at least one input file or folder");
  int level = ParseLevel(parsed.Value("--level", "6"));
  int profile = parsed.Has("--window") ? ParseProfile(parsed.Value("--window")) : -1;

  // The option word: each switch sets its field to 1; the later of a pair wins.
  uint32_t word = (1u << kKeepOriginalFileAttrib) | (1u << kRecreateOriginalFolders) |
                  (1u << kPromptUserForOptions);
  for (const auto& option : parsed.options) {
    const std::string& name = option.first;
    if (name == "--overwrite") word = SetField(word, kOverWriteExistingFiles, true);
    if (name == "--keep-attributes") word = SetField(word, kKeepOriginalFileAttrib, true);
    if (name == "--no-keep-attributes") word = SetField(word, kKeepOriginalFileAttrib, false);
    if (name == "--recreate-folders") word = SetField(word, kRecreateOriginalFolders, true);
    if (name == "--flat") word = SetField(word, kRecreateOriginalFolders, false);
    if (name == "--delete-when-done") word = SetField(word, kDeleteSFXwhenDone, true);
    if (name == "--prompt") word = SetField(word, kPromptUserForOptions, true);
    if (name == "--silent") word = SetField(word, kPromptUserForOptions, false);
    if (name == "--ignore-errors") word = SetField(word, kIgnoreErrors, true);
  }

  // The execute text is '"[' file ']' arguments '"': neither part may end it early.
  int codePage = ParseCodePage(parsed.Value("--codepage", std::to_string(kDefaultPackCodePage)));
  std::string exec = StoredForm(parsed.Value("--exec"), codePage, "--exec");
  std::string execArgs = StoredForm(parsed.Value("--args"), codePage, "--args");
  std::replace(exec.begin(), exec.end(), '/', '\\');
  if (!execArgs.empty() && exec.empty()) throw UsageError("--args needs --exec");
  if (exec.find_first_of("]\"") != std::string::npos)
    throw UsageError("--exec '" + exec + "' must not hold ']' or '\"'");
  if (execArgs.find('"') != std::string::npos)
    throw UsageError("--args must not hold '\"'");
  if (exec.size() > kMaxPathText) throw UsageError("--exec is longer than 259 characters");
  if (execArgs.size() > 519) throw UsageError("--args is longer than 519 characters");
  packer::StoredOptions stored;
  stored.optionWord = word;
  stored.executeText = packer::MakeExecuteText(exec, execArgs);
  stored.tempFolder = StoredForm(parsed.Value("--temp"), codePage, "--temp");
  if (stored.tempFolder.size() > kMaxPathText) throw UsageError("--temp is longer than 259 characters");
  if (stored.executeText.size() > kMaxOptionText)
    throw UsageError("--exec and --args together are too long for the option block");

  const char* epochText = getenv("SOURCE_DATE_EPOCH");
  uint64_t epoch = 0;
  if (epochText != nullptr) {
    char* end = nullptr;
    errno = 0;
    epoch = strtoull(epochText, &end, 10);
    if (*epochText < '0' || *epochText > '9' || *end != '\0' || errno != 0)
      throw Failure(std::string("SOURCE_DATE_EPOCH='") + epochText + "' is not a number of seconds");
  }
  std::string stubPath = FindStub(parsed.Value("--stub", "win32"));
  CheckStub(stubPath);
  packer::Bytes branded = BrandedStub(parsed, parsed.Value("--stub", "win32"), stubPath);
  CheckOutputFolder(out);

  // Gather the inputs in one stable order, whatever order they were given in.
  Walk walk;
  struct stat outStat;
  if (stat(out.c_str(), &outStat) == 0) {
    if (S_ISDIR(outStat.st_mode)) throw Failure("the output '" + out + "' is a folder");
    walk.haveOutput = true;
    walk.outputDevice = outStat.st_dev;
    walk.outputInode = outStat.st_ino;
  }
  for (const auto& input : parsed.operands) walk.Add(input, {InputName(input)});
  std::stable_sort(walk.sources.begin(), walk.sources.end(),
                   [](const Source& a, const Source& b) { return a.components < b.components; });

  std::vector<std::string> names;
  for (const auto& source : walk.sources)
    names.push_back(StoredForm(StoredName(source.components), codePage, "'" + source.path + "'"));
  std::vector<std::string> reasons = CheckStoredNames(names);
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].size() > kMaxNameLength)
      throw Failure("'" + walk.sources[i].path + "': its stored name is longer than 255 bytes");
    if (!reasons[i].empty())
      throw Failure("'" + walk.sources[i].path + "' cannot be stored as '" +
                    Shown(StoredName(walk.sources[i].components)) +
                    "': " + reasons[i]);
  }
  if (!exec.empty() && !NamesStoredFile(exec, names, OptionField(word, kRecreateOriginalFolders) == 0))
    fprintf(stderr, "dolm: pack: warning: the execute file '%s' is not among the stored files\n",
            Shown(parsed.Value("--exec")).c_str());

  std::atomic<size_t> filesRead{0};
  std::atomic<bool> compressing{false};
  std::atomic<uint64_t> total{0};
  std::vector<packer::PackFile> files;
  {
    size_t count = walk.sources.size();
    ProgressLine progress([&] {
      if (compressing) return std::string("dolm: compressing ") + std::to_string(total.load() >> 20) + " MiB ...";
      return "dolm: reading files " + std::to_string(filesRead.load()) + "/" + std::to_string(count);
    });
    for (size_t i = 0; i < walk.sources.size(); ++i) {
      LoadedFile loaded = LoadFile(walk.sources[i].path, epochText, epoch);
      total += loaded.data.size();
      if (total > kMaxArchiveData)
        throw Failure("the inputs hold more than " + std::to_string(kMaxArchiveData >> 20) +
                      " MiB, more than one archive can take");
      packer::PackFile file;
      file.name = names[i];
      file.data = std::move(loaded.data);
      file.time = loaded.time;
      file.attributes = loaded.attributes;
      files.push_back(std::move(file));
      ++filesRead;
    }
    if (profile < 0) {
      profile = 0;
      while (profile < kDefaultMaxProfile && (uint64_t{32768} << profile) < total) ++profile;
    }
    compressing = true;
    packer::Bytes archive = packer::BuildArchive(files, stored, profile, level);
    files.clear();
    std::string error = branded.empty() ? packer::AppendToStub(stubPath, archive, out)
                                        : packer::AppendToStubImage(branded, "the branded stub", archive, out, true);
    if (!error.empty()) throw Failure(error);
  }
  printf("wrote '%s': %zu files, %llu bytes, window %dK\n", Shown(out).c_str(), names.size(),
         static_cast<unsigned long long>(total.load()), 32 << profile);
  return kExitOk;
}

}  // namespace tool
