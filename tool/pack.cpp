// dolm pack: gathers files and folders, packs them into an archive and joins
// it to a stub, giving a ready self-extractor.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "format/format.h"
#include "packer/packer.h"
#include "tool/brand.h"
#include "tool/codepage.h"
#include "tool/commands.h"
#include "tool/inputs.h"
#include "tool/names.h"
#include "tool/output_file.h"
#include "tool/pack_checks.h"
#include "tool/pack_stream.h"
#include "tool/progress.h"
#include "tool/stored_options.h"
#include "tool/util.h"

namespace tool {

namespace {

const char kPackHelp[] =
    "Usage: dolm pack -o OUT [options] INPUT...\n"
    "\n"
    "Packs files and folders (folders recursively) into a self-extractor, in\n"
    "sorted order whatever order the inputs come in. Each input is stored under\n"
    "its own name: the folder 'a/b/docs' is stored as 'docs\\...'. After -C DIR,\n"
    "inputs are named relative to DIR and stored under that relative name.\n"
    "Names read with -T are stored as given, relative to the -C folder in effect\n"
    "(before any -C, the current folder): 'find proj -type f | dolm pack -T - ...'\n"
    "stores 'proj\\...'.\n"
    "\n"
    "  -o, --output OUT        the self-extractor to write (also -oOUT, --output=OUT);\n"
    "                          written to OUT.part and renamed; it must not be an input\n"
    "  --stub KIND|PATH        win32 (default), win64, linux, or the path of a stub\n"
    "  --window SIZE           size profile 32K 64K 128K 256K 512K 1024K 2048K\n"
    "                          4096K 8192K (default: the smallest that holds all\n"
    "                          data, at most 2048K)\n"
    "  --level N               compression level 1 (fast) to 9 (small); default 6\n"
    "  -h, --help              show this text\n"
    "Selecting inputs:\n"
    "  -C, --directory DIR     take the inputs that follow relative to DIR (repeatable;\n"
    "                          a relative DIR is taken from the previous one)\n"
    "  -T, --files-from FILE   read inputs from FILE, one a line ('-': standard input),\n"
    "                          stored as given; blank lines are skipped, names are\n"
    "                          kept byte for byte\n"
    "  --exclude PATTERN       leave out files and folders whose stored name or any of\n"
    "                          its components matches the shell pattern (repeatable);\n"
    "                          excluded folders are not walked\n"
    "  --no-follow             refuse symbolic links (with --classic they are\n"
    "                          followed, and a link that dangles or loops is refused)\n"
    "Unix files (without --classic: modes, symbolic links and empty folders kept):\n"
    "  --allow-unsafe-links    store links that lead out of the packed tree (absolute,\n"
    "                          or '..' above its root); self-extractors still refuse them\n"
    "  --keep-special-modes    store setuid, setgid and sticky bits (refused without)\n"
    "Stored options:\n"
    "  --exec FILE             stored file to start after extraction; it must be\n"
    "                          one of the stored files\n"
    "  --args TEXT             arguments for the execute file (no '\"')\n"
    "  --temp DIR              stored extraction folder (default: the system's\n"
    "                          temporary folder); at most 259 characters, no '\"',\n"
    "                          control characters or '..' components\n"
    "Stored option word (defaults: keep attributes, recreate folders, prompt):\n"
    "  --overwrite             overwrite existing files without asking\n"
    "  --keep-attributes       give files their stored times and attributes\n"
    "  --no-keep-attributes    leave times and attributes to the extraction\n"
    "  --recreate-folders      recreate the stored folders\n"
    "  --flat                  put every file straight into the extraction folder\n"
    "                          (two files with the same name are refused)\n"
    "  --delete-when-done      remove the extracted files when the execute file ends\n"
    "  --prompt                not silent\n"
    "  --silent                silent extraction\n"
    "  --ignore-errors         show no error messages and go on after errors\n"
    "  --codepage N            Windows code page of the stored names, the execute\n"
    "                          file, its arguments and the folder: 1252 (default),\n"
    "                          1250-1258, 874, 932, 936, 949, 950, 65001 (UTF-8).\n"
    "                          Without --classic every name is stored as UTF-8 and\n"
    "                          N is the code page a Windows 95/98 self-extractor\n"
    "                          converts names to (default 1252; 65001 gives 1252)\n"
    "Settings record (what the self-extractor does beyond the classic format):\n"
    "  --classic               write no settings record: the same bytes as before the\n"
    "                          record existed, an archive that behaves as the format\n"
    "                          always did (exit code 0 after errors, files straight\n"
    "                          into the temporary folder); see README on which to choose\n"
    "  --title TEXT            caption of the self-extractor's windows (at most 259\n"
    "                          characters as stored)\n"
    "  --confirm FILE          a licence or other text the user must accept before\n"
    "                          anything is written (at most 65536 bytes as stored)\n"
    "  Without --classic the record holds the names as UTF-8, so that names in any\n"
    "  script go in one archive, and asks for: exit codes scripts can use and no box\n"
    "  in a silent run, a fresh folder of its own per run under the temporary\n"
    "  folder, switches as people type them, the whole archive checked before the\n"
    "  first file is written (files written under temporary names), and progress.\n"
    "Windows stubs only (resources of the self-extractor):\n"
    "  --icon FILE.ico         application icon (replaces the stub's own)\n"
    "  --version-info NAME=VALUE  version text (repeatable); NAME is CompanyName,\n"
    "                          FileDescription, FileVersion, InternalName,\n"
    "                          LegalCopyright, OriginalFilename, ProductName,\n"
    "                          ProductVersion or Comments\n"
    "  --execution-level LEVEL asInvoker, highestAvailable or requireAdministrator\n"
    "                          (an application manifest; none without it)\n"
    "\n"
    "How the arguments reach the program: the self-extractor starts it with the\n"
    "command line '\"FOLDER\\FILE\" ARGS '. A Windows program receives that text\n"
    "and splits it itself (most split at blanks and tabs). The Linux\n"
    "self-extractor splits ARGS at blanks and tabs into the program's arguments.\n"
    "ARGS cannot hold a double quote: the self-extractor ends the stored arguments\n"
    "at the first one. The command line must fit 519 characters with an\n"
    "extraction folder of 100 characters: FILE and ARGS together at most 414.\n"
    "\n"
    "Limits of the format: one archive holds at most 2032 MiB of file data (so\n"
    "one file at most that much) in at most 3,890,368 files. A stored name takes\n"
    "at most 255 bytes in its code page, and on extraction the folder and the\n"
    "name together at most 259 characters. Stored texts: the extraction folder at\n"
    "most 259 characters, the execute file and its arguments together at most 414.\n"
    "\n"
    "With the settings record, the Windows self-extractor reads switches as\n"
    "people type them: '/ok C:\\x' (letters grouped, '-' as '/'), '/?', '-h' and\n"
    "'--help' (usage, exit 0; an unknown switch: usage, exit 2), '/log FILE'\n"
    "(every message to FILE), '/accept', and '--' (the rest of the command line\n"
    "goes to the program after ARGS); it exits with the program's exit code, else\n"
    "0, 1 cancelled, 2 wrong command line, 3 out of memory, 4 an error, 126 not\n"
    "started, 127 not extracted. '--temp' may name environment variables\n"
    "('%ProgramFiles%\\Acme'); without it, each run gets a fresh folder of its\n"
    "own below %TEMP%.\n"
    "\n"
    "Stored times are the files' modification times, capped by SOURCE_DATE_EPOCH\n"
    "when it is set; the same inputs and options give the same bytes.\n";


constexpr unsigned kMaxNameLength = 255;  // one byte in the file entry
// The stub reserves two buffers of 276 bytes a file for the list of files and
// refuses a list whose buffers together pass 2 GiB.
constexpr uint64_t kMaxArchiveFiles = (uint64_t{1} << 31) / (2 * kEntryBudget);  // 3,890,368
constexpr int kDefaultMaxProfile = 6;     // 2048K

int ParseProfile(const std::string& text) {
  std::string digits = text;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) digits.pop_back();
  for (int index = 0; index < static_cast<int>(kProfileCount); ++index)
    if (digits == std::to_string(WindowKibOf(index))) return index;
  throw UsageError("--window '" + text +
                   "' is not a size profile; use 32K, 64K, 128K, 256K, 512K, 1024K, 2048K, "
                   "4096K or 8192K");
}

int ParseLevel(const std::string& text) {
  if (text.size() == 1 && text[0] >= '1' && text[0] <= '9') return text[0] - '0';
  throw UsageError("--level '" + text + "' is not a level from 1 to 9");
}

struct Epoch {
  const char* text;  // SOURCE_DATE_EPOCH, or null when it is not set
  uint64_t seconds;
};

Epoch ReadEpoch() {
  Epoch epoch{getenv("SOURCE_DATE_EPOCH"), 0};
  if (epoch.text != nullptr) {
    char* end = nullptr;
    errno = 0;
    epoch.seconds = strtoull(epoch.text, &end, 10);
    if (*epoch.text < '0' || *epoch.text > '9' || *end != '\0' || errno != 0)
      throw Failure(std::string("SOURCE_DATE_EPOCH='") + epoch.text + "' is not a number of seconds");
  }
  return epoch;
}

// The inputs against the most files and data one archive takes, naming the
// limit that is passed (the count, one file's size or all files') and by how much.
void CheckArchiveLimit(const std::vector<InputFile>& inputs, uint64_t total) {
  if (inputs.size() > kMaxArchiveFiles)
    throw Failure("the inputs are " + std::to_string(inputs.size()) + " files, " +
                  std::to_string(inputs.size() - kMaxArchiveFiles) + " more than the " +
                  std::to_string(kMaxArchiveFiles) + " that one archive can list");
  const std::string limit = std::to_string(kMaxArchiveData >> 20) + " MiB (" +
                            std::to_string(kMaxArchiveData) + " bytes)";
  auto excess = [](uint64_t bytes) {
    return SizeText(bytes - kMaxArchiveData) + " (" + std::to_string(bytes - kMaxArchiveData) + " bytes)";
  };
  for (const auto& input : inputs)
    if (input.size > kMaxArchiveData)
      throw Failure("'" + input.path + "' holds " + SizeText(input.size) + ", " + excess(input.size) +
                    " more than the " + limit + " that one archive, and so one file, can take");
  if (total > kMaxArchiveData)
    throw Failure("the " + std::to_string(inputs.size()) + " input files hold " + SizeText(total) +
                  " together, " + excess(total) + " more than the " + limit +
                  " that one archive can take; pack them into two or more archives");
}

// The stored names against what an extraction can create and the options;
// returns the bytes the inputs hold.
uint64_t CheckInputs(const std::vector<InputFile>& inputs, const StoredOptions& stored) {
  std::vector<std::string> names;
  uint64_t total = 0;
  for (const auto& input : inputs) {
    names.push_back(input.name);
    total += input.size;
  }
  std::vector<std::string> reasons = CheckStoredNames(names);
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].size() > kMaxNameLength)
      throw Failure("'" + inputs[i].path + "': its stored name is longer than 255 bytes");
    if (!reasons[i].empty())
      throw Failure("'" + inputs[i].path + "' cannot be stored as '" + names[i] + "': " + reasons[i]);
  }
  const bool flat = OptionField(stored.record.optionWord, kRecreateOriginalFolders) == 0;
  if (flat) CheckFlatNames(names);
  CheckExecuteStored(stored.execFile, names, flat);
  CheckArchiveLimit(inputs, total);
  return total;
}

}  // namespace

std::vector<OptionDef> PackOptions() {
  std::string windows;
  for (int index = 0; index < static_cast<int>(kProfileCount); ++index)
    windows += (index ? " " : "") + std::to_string(WindowKibOf(index)) + "K";
  std::vector<OptionDef> defs = {
      {"--output", "-o", true, "FILE"},  {"--stub", "", true, kStubWords},
      {"--window", "", true, windows},   {"--level", "", true, "1 2 3 4 5 6 7 8 9"},
      {"--directory", "-C", true, "DIR"}, {"--files-from", "-T", true, "FILE"},
      {"--exclude", "", true},           {"--no-follow", "", false},
      {"--allow-unsafe-links", "", false}, {"--keep-special-modes", "", false},
      {"--help", "-h", false},
  };
  defs.insert(defs.end(), kStoredOptionDefs.begin(), kStoredOptionDefs.end());
  defs.insert(defs.end(), kExtensionOptionDefs.begin(), kExtensionOptionDefs.end());
  defs.insert(defs.end(), kBrandingOptionDefs.begin(), kBrandingOptionDefs.end());
  return defs;
}

int PackCommand(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, PackOptions());
  if (parsed.Has("--help")) {
    fputs(kPackHelp, stdout);
    return kExitOk;
  }
  std::string out = parsed.Value("--output");
  if (out.empty()) throw UsageError("pack needs the output file: -o OUT");
  if (!parsed.Has("--files-from") && parsed.operands.empty())
    throw UsageError("pack needs at least one input file or folder");
  int level = ParseLevel(parsed.Value("--level", "6"));
  int profile = parsed.Has("--window") ? ParseProfile(parsed.Value("--window")) : -1;
  StoredOptions stored = DefaultStoredOptions();
  // With the record, names and texts are stored as UTF-8, whatever their script.
  if (!parsed.Has("--classic")) StoreNamesAsUtf8(stored);
  const int codePage = ApplyStoredFlags(parsed, stored);
  RecordTexts texts;
  ApplyExtensionFlags(parsed, codePage, true, stored, texts);
  const Epoch epoch = ReadEpoch();
  const std::string stubPath = FindStub(parsed.Value("--stub", "win32"));
  packer::Bytes image = BrandedStub(parsed, parsed.Value("--stub", "win32"), stubPath);
  const bool branded = !image.empty();
  if (!branded) image = ReadStubImage(stubPath);
  // With the record, every entry carries its Unix mode, and links and empty
  // folders are entries of their own.
  stored.extension.unixModes = stored.extension.present;
  CheckRecordFits(image.size(), stored);
  CheckOutputPath(out);

  // Every check on names and the output comes before the first byte is read.
  std::vector<InputFile> inputs = SelectInputs(parsed, stored.extension.unixModes);
  if (inputs.empty()) throw Failure("no file to pack: the inputs are empty folders or excluded");
  // Names are stored in the code page (as UTF-8 with the record): the checks
  // below see the stored bytes. A name that is not UTF-8 is refused.
  for (auto& input : inputs) input.name = StoredForm(input.name, codePage, "'" + input.path + "'");
  std::vector<InputIdentity> identities;
  for (const auto& input : inputs) identities.push_back({input.path, input.device, input.inode});
  RefuseOutputAmongInputs(out, identities);
  uint64_t total = CheckInputs(inputs, stored);

  if (profile < 0) {
    profile = 0;
    while (profile < kDefaultMaxProfile && (uint64_t{32768} << profile) < total) ++profile;
  }
  const std::vector<packer::FileEntry> entries =
      FileList(inputs, epoch.text, epoch.seconds, stored.extension.unixModes);
  OutputFile output(out);
  uint64_t archive = 0;
  {
    PackProgress progress(total);
    progress.StartPhase("compressing");  // the inputs are read as they are compressed
    ProgressLine line([&progress] { return progress.Text(); });
    archive = WriteSelfExtractor(output, image, branded, inputs, entries, stored, profile, level,
                                 &progress.done);
  }
  uint64_t written = output.Commit();
  printf("%s\n", PackSummary(out, inputs.size(), total, archive, written, profile).c_str());
  return kExitOk;
}

}  // namespace tool
