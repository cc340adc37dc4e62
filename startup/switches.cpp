// The command line's switches and arguments, and what they change in the
// option word and the temporary folder.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/format.h"
#include "resources/resource.h"
#include "startup/startup.h"

namespace {

constexpr uint32_t kListCapacity = 259;  // entries each list holds before its end mark

void AddSwitch(CommandLineParser* parser, uint32_t* count, char letter) {
  // Letters beyond the 259 that the list holds are dropped.
  if (*count < kListCapacity) parser->switches[(*count)++] = letter;
}

void AddArgument(CommandLineParser* parser, uint32_t* count, const char* start, size_t length) {
  // Arguments beyond the 259 that the table holds are dropped.
  if (*count >= kListCapacity) return;
  char* text = static_cast<char*>(std::malloc(length + 1));
  if (!text) return;
  std::memcpy(text, start, length);
  text[length] = '\0';
  parser->arguments[(*count)++] = text;
}

// "/accept", "-accept" or "--accept" in any case: a word of its own.
bool IsAcceptWord(const char* word, size_t length) {
  const size_t dashes = length > 2 && word[0] == '-' && word[1] == '-' ? 2 : 1;
  if (length != dashes + 6 || (word[0] != '/' && word[0] != '-')) return false;
  const char* name = "accept";
  for (size_t i = 0; i < 6; ++i)
    if ((word[dashes + i] | 0x20) != name[i]) return false;
  return true;
}

// Copies text into out (as long as text) with each accept word blanked;
// true when it held one.
bool BlankAcceptWords(const char* text, char* out) {
  bool found = false;
  std::strcpy(out, text);
  for (char* word = out; *word != '\0';) {
    size_t length = 0;
    while (word[length] != '\0' && word[length] != ' ') ++length;
    if (IsAcceptWord(word, length)) {
      std::memset(word, ' ', length);
      found = true;
    }
    word += length;
    while (*word == ' ') ++word;
  }
  return found;
}

}  // namespace

RunOutcome OptionsReport(const StubRun* run) {
  RunOutcome outcome = {};
  outcome.exitCode = 0;
  outcome.show = Showing::kBox;
  outcome.style = kMbOk;
  char format[kPathSize];
  PlatformLoadString(IDS_OPTIONS_REPORT, format, sizeof format);
  PlatformLoadString(IDS_ABOUT_CAPTION, outcome.caption, sizeof outcome.caption);
  const uint32_t word = run->options.record.optionWord;
  const int prompt = static_cast<int>(OptionField(word, kPromptUserForOptions));
  // A report longer than 519 characters is cut there.
  std::snprintf(outcome.text, sizeof outcome.text, format,
                static_cast<int>(OptionField(word, kOverWriteExistingFiles)),
                static_cast<int>(OptionField(word, kKeepOriginalFileAttrib)), prompt,
                static_cast<int>(OptionField(word, kRecreateOriginalFolders)),
                static_cast<int>(OptionField(word, kDeleteSFXwhenDone)), prompt == 0 ? 1 : 0,
                run->tempFolder, run->options.execFile);
  return outcome;
}

void BuildCommandLineParser(CommandLineParser* parser, const char* argText) {
  std::memset(parser, 0, sizeof *parser);
  if (!argText) return;
  uint32_t switchCount = 0;
  uint32_t argumentCount = 0;
  const char* tokenStart = nullptr;  // open token, or none
  int inQuotes = 0;
  for (const char* p = argText; *p; ++p) {
    char c = *p;
    if (c == ' ') {
      if (!inQuotes && tokenStart) {
        AddArgument(parser, &argumentCount, tokenStart, static_cast<size_t>(p - tokenStart));
        tokenStart = nullptr;
      }
    } else if (c == '"') {
      if (!inQuotes) {
        tokenStart = p + 1;  // an unquoted start before it is dropped
        inQuotes = 1;
      } else {
        AddArgument(parser, &argumentCount, tokenStart, static_cast<size_t>(p - tokenStart));
        tokenStart = nullptr;
        inQuotes = 0;
      }
    } else if (c == '-' || c == '/') {
      if (!tokenStart && p[1] != '\0') {
        ++p;
        AddSwitch(parser, &switchCount, *p);
      }
    } else if (!tokenStart) {
      tokenStart = p;
    }
  }
  if (tokenStart) AddArgument(parser, &argumentCount, tokenStart, std::strlen(tokenStart));
}

void DestroyCommandLineParser(CommandLineParser* parser) {
  for (char*& text : parser->arguments) {
    std::free(text);
    text = nullptr;
  }
}

char NextSwitch(CommandLineParser* parser) {
  if (parser->switchPos >= sizeof parser->switches) return 0;
  char letter = parser->switches[parser->switchPos];
  if (letter != 0) ++parser->switchPos;
  return letter;
}

const char* NextArgument(CommandLineParser* parser) {
  if (parser->argumentPos >= sizeof parser->arguments / sizeof parser->arguments[0]) return nullptr;
  const char* text = parser->arguments[parser->argumentPos];
  if (text) ++parser->argumentPos;
  return text;
}

void ReadArgumentText(const char* argText, const char* ownPath, CommandLineParser* parser, RunRequest* request) {
  static_assert(sizeof request->switches >= sizeof parser->switches, "every parsed letter fits the request");
  BuildCommandLineParser(parser, argText);
  request->ownPath = ownPath;
  size_t count = 0;
  for (char letter; (letter = NextSwitch(parser)) != 0;) request->switches[count++] = letter;
  request->switches[count] = '\0';
  request->folder = NextArgument(parser);
  request->argText = argText;
}

namespace {

Result ApplyRequest(StubRun* run, const RunRequest& request, bool* report) {
  uint32_t* word = &run->options.record.optionWord;
  *report = false;
  for (const char* letter = request.switches; *letter != '\0'; ++letter) {
    switch (*letter) {
      case 'a': case 'A': *report = true; break;
      case 'd': case 'D': SetOptionField(word, kDeleteSFXwhenDone, 1); break;
      case 'i': case 'I': SetOptionField(word, kIgnoreErrors, 1); break;
      case 'k': case 'K': SetOptionField(word, kKeepOriginalFileAttrib, 1); break;
      case 'o': case 'O': SetOptionField(word, kOverWriteExistingFiles, 1); break;
      case 'p': case 'P': SetOptionField(word, kPromptUserForOptions, 1); break;
      case 'q': case 'Q': case 's': case 'S': SetOptionField(word, kPromptUserForOptions, 0); break;
      case 'r': case 'R': SetOptionField(word, kRecreateOriginalFolders, 1); break;
      default: break;
    }
  }
  const char* folder = request.folder;
  if (folder == nullptr) return kOk;
  if (std::strlen(folder) >= sizeof run->tempFolder) {
    // A folder too long for its 259 characters is refused (error 0 names it); the folder stays as it was.
    return NoteFault(&run->faults, kErrorCannotOpen, folder);
  }
  std::memset(run->tempFolder, 0, sizeof run->tempFolder);
  std::strcpy(run->tempFolder, folder);
  return kOk;
}

}  // namespace

Result ApplySwitches(StubRun* run, const RunRequest& request, bool* report) {
  run->licenceAccepted = false;
  run->folderGiven = request.folder != nullptr;
  // An archive with the extension record reads "/accept" as the word that
  // accepts its licence, not as the letters and the folder it would give.
  char* text = nullptr;
  if (run->options.extension.present && request.argText != nullptr)
    text = static_cast<char*>(std::malloc(std::strlen(request.argText) + 1));
  if (text == nullptr || !BlankAcceptWords(request.argText, text)) {
    std::free(text);
    return ApplyRequest(run, request, report);
  }
  CommandLineParser parser;
  RunRequest accepted;
  ReadArgumentText(text, request.ownPath, &parser, &accepted);
  run->licenceAccepted = true;
  run->folderGiven = accepted.folder != nullptr;
  const Result applied = ApplyRequest(run, accepted, report);
  DestroyCommandLineParser(&parser);
  std::free(text);
  return applied;
}
