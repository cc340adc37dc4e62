// The stored options that `pack` and `restub` write: the option word from its
// flags, the execute file with its arguments and the extraction folder, each
// checked against what the self-extractor can read and start.
#include <algorithm>
#include <cctype>

#include "format/format.h"
#include "packer/packer.h"
#include "tool/codepage.h"
#include "tool/display.h"
#include "tool/stored_options.h"
#include "tool/util.h"

namespace tool {

namespace {

constexpr size_t kMaxPathText = 259;       // the self-extractor's path buffers
constexpr size_t kMaxCommandLine = 519;    // its command-line buffer
constexpr size_t kAssumedFolder = 100;     // extraction folder the launch must fit with

std::string LastPart(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The self-extractor starts the file as "folder\exec" (flat: "folder\name"),
// at most 259 characters, with the command line '"' path '" ' args ' ', at
// most 519. A document also needs its program's path, which only the
// extracting machine knows, so the check is made for the program form.
void CheckLaunchFits(const std::string& exec, const std::string& args, bool flat) {
  if (exec.empty()) return;
  size_t path = kAssumedFolder + 1 + (flat ? LastPart(exec) : exec).size();
  size_t line = path + args.size() + 4;
  if (path > kMaxPathText)
    throw UsageError("--exec '" + exec + "' makes a path of " + std::to_string(path) +
                     " characters with a " + std::to_string(kAssumedFolder) +
                     "-character extraction folder; the self-extractor starts at most " +
                     std::to_string(kMaxPathText));
  if (line > kMaxCommandLine)
    throw UsageError("--exec and --args make a command line of " + std::to_string(line) +
                     " characters with a " + std::to_string(kAssumedFolder) +
                     "-character extraction folder; the self-extractor starts at most " +
                     std::to_string(kMaxCommandLine) + " (" + std::to_string(line - kMaxCommandLine) +
                     " too many)");
}

void CheckTempFolder(const std::string& temp) {
  if (temp.size() > kMaxPathText)
    throw UsageError("--temp is " + std::to_string(temp.size()) + " characters long; at most " +
                     std::to_string(kMaxPathText) + " are kept");
  for (char c : temp)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      throw UsageError("--temp must not hold control characters");
  if (temp.find('"') != std::string::npos) throw UsageError("--temp must not hold '\"'");
  size_t start = 0;
  for (;;) {
    size_t end = temp.find_first_of("\\/", start);
    if (temp.substr(start, end == std::string::npos ? end : end - start) == "..")
      throw UsageError("--temp '" + temp + "' must not hold a '..' component");
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

}  // namespace

const std::vector<OptionDef> kStoredOptionDefs = {
    {"--exec", "", true},             {"--args", "", true},
    {"--temp", "", true},             {"--overwrite", "", false},
    {"--keep-attributes", "", false}, {"--no-keep-attributes", "", false},
    {"--recreate-folders", "", false}, {"--flat", "", false},
    {"--delete-when-done", "", false}, {"--prompt", "", false},
    {"--silent", "", false},          {"--ignore-errors", "", false},
    {"--codepage", "", true, CodePageWords()},
};

StoredOptions DefaultStoredOptions() {
  StoredOptions options{};
  options.record.optionWord = (1u << kKeepOriginalFileAttrib) | (1u << kRecreateOriginalFolders) |
                              (1u << kPromptUserForOptions);
  return options;
}

void StoreNamesAsUtf8(StoredOptions& options) {
  options.extension.utf8Names = true;
  options.extension.ansiCodePage = kDefaultPackCodePage;
}

namespace {

// Sets the option word's fields that the flags name; the later of a pair wins.
void ApplyWordFlags(const ParsedArgs& parsed, uint32_t& word) {
  for (const auto& option : parsed.options) {
    const std::string& name = option.first;
    if (name == "--overwrite") SetOptionField(&word, kOverWriteExistingFiles, 1);
    if (name == "--keep-attributes") SetOptionField(&word, kKeepOriginalFileAttrib, 1);
    if (name == "--no-keep-attributes") SetOptionField(&word, kKeepOriginalFileAttrib, 0);
    if (name == "--recreate-folders") SetOptionField(&word, kRecreateOriginalFolders, 1);
    if (name == "--flat") SetOptionField(&word, kRecreateOriginalFolders, 0);
    if (name == "--delete-when-done") SetOptionField(&word, kDeleteSFXwhenDone, 1);
    if (name == "--prompt") SetOptionField(&word, kPromptUserForOptions, 1);
    if (name == "--silent") SetOptionField(&word, kPromptUserForOptions, 0);
    if (name == "--ignore-errors") SetOptionField(&word, kIgnoreErrors, 1);
  }
}

void StoreText(char* field, size_t room, const std::string& text, const char* flag) {
  if (!packer::SetOptionText(field, room, text))
    throw UsageError(std::string(flag) + " is longer than the " + std::to_string(room - 1) +
                     " characters the self-extractor keeps");
}

}  // namespace

int ApplyStoredFlags(const ParsedArgs& parsed, StoredOptions& options) {
  ApplyWordFlags(parsed, options.record.optionWord);
  std::string temp = options.tempFolder, exec = options.execFile, args = options.execArgs;
  // The texts given here are UTF-8; they are stored in the code page, or as
  // they are when the record says the names are UTF-8. There --codepage
  // names the code page for a Windows without wide file functions.
  const int given = ParseCodePage(parsed.Value("--codepage", std::to_string(kDefaultPackCodePage)));
  ExtensionRecord& record = options.extension;
  if (record.utf8Names && parsed.Has("--codepage"))
    record.ansiCodePage = static_cast<uint16_t>(given == kUtf8CodePage ? kDefaultPackCodePage : given);
  const int codePage = record.utf8Names ? kUtf8CodePage : given;
  if (parsed.Has("--exec")) {
    exec = StoredForm(parsed.Value("--exec"), codePage, "--exec");
    std::replace(exec.begin(), exec.end(), '/', '\\');
    if (!parsed.Has("--args")) args.clear();
  }
  if (parsed.Has("--args")) args = StoredForm(parsed.Value("--args"), codePage, "--args");
  if (parsed.Has("--temp")) {
    temp = StoredForm(parsed.Value("--temp"), codePage, "--temp");
    CheckTempFolder(temp);
  }
  if (!args.empty() && exec.empty()) throw UsageError("--args needs --exec");
  if (exec.find_first_of("]\"") != std::string::npos)
    throw UsageError("--exec '" + exec + "' must not hold ']' or '\"'");
  // The self-extractor ends the stored arguments at their first double quote,
  // so a quote would silently cut them there.
  if (args.find('"') != std::string::npos)
    throw UsageError("--args must not hold '\"': the self-extractor ends its stored arguments at "
                     "the first double quote (see 'dolm pack --help' on how arguments are split)");
  CheckLaunchFits(exec, args, OptionField(options.record.optionWord, kRecreateOriginalFolders) == 0);
  // The launch check keeps the execute text well below the 780 bytes the self-extractor reads.
  StoreText(options.tempFolder, sizeof options.tempFolder, temp, "--temp");
  StoreText(options.execFile, sizeof options.execFile, exec, "--exec");
  StoreText(options.execArgs, sizeof options.execArgs, args, "--args");
  return codePage;
}

const std::vector<OptionDef> kExtensionOptionDefs = {
    {"--classic", "", false}, {"--title", "", true}, {"--confirm", "", true, "FILE"}};

namespace {

std::string RecordText(const uint8_t* text, uint32_t length) {
  return length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(text), length);
}

// A stored text: in the code page, without a zero byte (the stub would cut it
// there), at most `limit` bytes.
std::string StoredRecordText(const std::string& utf8, int codePage, size_t limit, const std::string& what) {
  if (!IsStrictUtf8(utf8)) throw UsageError(what + " is not UTF-8 text; convert it first (iconv -t UTF-8)");
  std::string stored = StoredForm(utf8, codePage, what);
  if (stored.find('\0') != std::string::npos) throw UsageError(what + " must not hold a zero byte");
  if (stored.size() > limit)
    throw UsageError(what + " is " + std::to_string(stored.size()) + " bytes long as stored; at most " +
                     std::to_string(limit) + " are kept");
  return stored;
}

}  // namespace

void ApplyExtensionFlags(const ParsedArgs& parsed, int codePage, bool byDefault, StoredOptions& options,
                         RecordTexts& texts) {
  ExtensionRecord& record = options.extension;
  if (parsed.Has("--classic")) {
    if (parsed.Has("--title") || parsed.Has("--confirm"))
      throw UsageError("--classic writes no settings record, so it takes no --title or --confirm");
    // Its links and folders would read as files of a classic archive.
    if (record.unixModes)
      throw Failure("the archive keeps Unix modes, symbolic links and folders in its settings record, "
                    "which a classic archive cannot carry; pack it again with --classic");
    // The third field held the record's size: a classic archive has 0 there.
    if (record.present) options.record.unused = 0;
    record = ExtensionRecord{};
    return;
  }
  texts.title = RecordText(record.title, record.titleLength);
  texts.licence = RecordText(record.licence, record.licenceLength);
  if (parsed.Has("--title")) texts.title = StoredRecordText(parsed.Value("--title"), codePage, kMaxTitle, "--title");
  if (parsed.Has("--confirm")) {
    const std::string path = parsed.Value("--confirm");
    std::string text;
    if (!path.empty()) {
      // Four bytes of UTF-8 make at most one stored byte: a longer file cannot fit.
      const packer::Bytes bytes = ReadWholeFile(path, "the --confirm text", kMaxLicence * 4);
      if (bytes.size() > kMaxLicence * 4)
        throw UsageError("the --confirm text '" + path + "' is longer than the " + std::to_string(kMaxLicence) +
                         " bytes a self-extractor shows");
      text.assign(bytes.begin(), bytes.end());
    }
    texts.licence = StoredRecordText(text, codePage, kMaxLicence, "the --confirm text '" + path + "'");
  }
  if (!record.present && (byDefault || parsed.Has("--title") || parsed.Has("--confirm"))) {
    record.present = true;
    record.behaviour = kBehaveAll;
  }
  // Empty texts point nowhere, as the reader gives them.
  record.title = texts.title.empty() ? nullptr : reinterpret_cast<const uint8_t*>(texts.title.data());
  record.titleLength = static_cast<uint32_t>(texts.title.size());
  record.licence = texts.licence.empty() ? nullptr : reinterpret_cast<const uint8_t*>(texts.licence.data());
  record.licenceLength = static_cast<uint32_t>(texts.licence.size());
}

void CheckRecordFits(size_t imageSize, const StoredOptions& options) {
  const size_t record = packer::WriteExtensionRecord(options.extension).size();
  if (record != 0 && imageSize + record > kMaxArchiveStart)
    throw Failure("the stub (" + std::to_string(imageSize) + " bytes) and the settings record (" +
                  std::to_string(record) + " bytes, the --confirm text included) put the archive at byte " +
                  std::to_string(imageSize + record) + ", past the " + std::to_string(kMaxArchiveStart) +
                  " where the self-extractor looks for it: shorten the --confirm text, or use --classic");
}

}  // namespace tool
