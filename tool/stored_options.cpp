// The stored options that `pack` and `restub` write: the option word from its
// flags, the execute file with its arguments and the extraction folder, each
// checked against what the self-extractor can read and start.
#include <algorithm>
#include <cctype>

#include "format/format.h"
#include "tool/codepage.h"
#include "tool/tool.h"

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
    {"--codepage", "", true},
};

StoredSettings DefaultStoredSettings() {
  StoredSettings settings;
  settings.word = (1u << kKeepOriginalFileAttrib) | (1u << kRecreateOriginalFolders) |
                  (1u << kPromptUserForOptions);
  return settings;
}

StoredSettings SettingsFromOptions(const packer::StoredOptions& stored) {
  StoredSettings settings;
  settings.word = stored.optionWord;
  settings.temp = stored.tempFolder;
  settings.unused = stored.unused;
  // The execute text '"[' file ']' arguments '"', read as the self-extractor reads it.
  const std::string& text = stored.executeText;
  size_t close = text.find(']', 2);
  if (text.size() > 2) settings.exec = text.substr(2, close == std::string::npos ? std::string::npos : close - 2);
  if (close != std::string::npos) {
    size_t quote = text.find('"', close + 1);
    settings.args = text.substr(close + 1, quote == std::string::npos ? std::string::npos : quote - close - 1);
  } else if (!settings.exec.empty() && settings.exec.back() == '"') {
    settings.exec.pop_back();
  }
  return settings;
}

void ApplyStoredFlags(const ParsedArgs& parsed, StoredSettings& settings) {
  // Each switch sets its field to 1; the later of a pair wins.
  for (const auto& option : parsed.options) {
    const std::string& name = option.first;
    uint32_t& word = settings.word;
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
  // The texts given here are UTF-8; they are stored in the code page.
  settings.codePage = ParseCodePage(parsed.Value("--codepage", std::to_string(kDefaultPackCodePage)));
  if (parsed.Has("--exec")) {
    settings.exec = StoredForm(parsed.Value("--exec"), settings.codePage, "--exec");
    std::replace(settings.exec.begin(), settings.exec.end(), '/', '\\');
    if (!parsed.Has("--args")) settings.args.clear();
  }
  if (parsed.Has("--args")) settings.args = StoredForm(parsed.Value("--args"), settings.codePage, "--args");
  if (parsed.Has("--temp")) {
    settings.temp = StoredForm(parsed.Value("--temp"), settings.codePage, "--temp");
    CheckTempFolder(settings.temp);
  }
  if (!settings.args.empty() && settings.exec.empty()) throw UsageError("--args needs --exec");
  if (settings.exec.find_first_of("]\"") != std::string::npos)
    throw UsageError("--exec '" + settings.exec + "' must not hold ']' or '\"'");
  // The self-extractor ends the stored arguments at their first double quote,
  // so a quote would silently cut them there.
  if (settings.args.find('"') != std::string::npos)
    throw UsageError("--args must not hold '\"': the self-extractor ends its stored arguments at "
                     "the first double quote (see 'dolm pack --help' on how arguments are split)");
  CheckLaunchFits(settings.exec, settings.args, OptionField(settings.word, kRecreateOriginalFolders) == 0);
}

packer::StoredOptions MakeStoredOptions(const StoredSettings& settings) {
  packer::StoredOptions stored;
  stored.optionWord = settings.word;
  stored.tempFolder = settings.temp;
  stored.unused = settings.unused;
  stored.executeText = packer::MakeExecuteText(settings.exec, settings.args);
  if (stored.executeText.size() > kMaxOptionText || stored.tempFolder.size() > kMaxOptionText)
    throw UsageError("the stored texts are longer than the " + std::to_string(kMaxOptionText) +
                     " characters the self-extractor reads");
  return stored;
}

}  // namespace tool
