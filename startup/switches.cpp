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

constexpr char kTypedLetters[] = "adikopqrsADIKOPQRS";

bool Holds(const char* text, char c) {
  for (; *text != '\0'; ++text)
    if (*text == c) return true;
  return false;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const char* a, const char* b) {
  for (; *a != '\0' && Lower(*a) == *b; ++a, ++b) {}
  return *a == '\0' && *b == '\0';
}

// Reads one word at *text into the words buffer (quotes group and are
// dropped); false at the end of the text or when the buffer is full.
bool NextWord(const char** text, TypedSwitches* typed, size_t* used, const char** word, bool* quoted) {
  const char* p = *text;
  while (IsBlank(*p)) ++p;
  if (*p == '\0') return false;
  *word = typed->words + *used;
  *quoted = *p == '"';
  bool inQuotes = false;
  for (; *p != '\0' && (inQuotes || !IsBlank(*p)); ++p) {
    if (*p == '"') inQuotes = !inQuotes;
    else if (*used + 1 < sizeof typed->words) typed->words[(*used)++] = *p;
    else return false;
  }
  typed->words[(*used)++] = '\0';
  *text = p;
  return true;
}

void RefuseWord(TypedSwitches* typed, const char* problem, const char* word) {
  typed->reading = TypedReading::kUsageError;
  typed->problem = problem;
  typed->word = word;
}

// One switch word after its '/' or '-' (name): a named switch, or letters.
// *text is past the word, so that /log can take the next one.
void ReadSwitchWord(TypedSwitches* typed, const char* word, const char* name, const char** text, size_t* used) {
  RunRequest* request = &typed->request;
  // "--name" is a named switch only, never letters.
  const bool named = name[0] == '-';
  if (named) ++name;
  const bool logGiven = Lower(name[0]) == 'l' && Lower(name[1]) == 'o' && Lower(name[2]) == 'g' &&
                        (name[3] == '=' || name[3] == ':') && name[4] != '\0';
  if (SameName(name, "?") || SameName(name, "h") || SameName(name, "help")) {
    typed->reading = TypedReading::kUsage;
  } else if (SameName(name, "accept")) {
    request->accept = true;
  } else if (logGiven) {
    request->logPath = name + 4;
  } else if (SameName(name, "log")) {
    bool quoted = false;
    if (!NextWord(text, typed, used, &request->logPath, &quoted)) RefuseWord(typed, "a file name must follow ", word);
  } else if (named || name[0] == '\0') {
    RefuseWord(typed, "unknown switch ", word);
  } else {
    size_t count = std::strlen(request->switches);
    for (const char* c = name; *c != '\0'; ++c) {
      if (!Holds(kTypedLetters, *c)) return RefuseWord(typed, "unknown switch ", word);
      // Letters beyond the 259 that the request holds are dropped.
      if (count + 1 < sizeof request->switches) request->switches[count++] = *c;
    }
    request->switches[count] = '\0';
  }
}

}  // namespace

void ReadTypedSwitches(const char* argText, TypedSwitches* typed) {
  std::memset(typed, 0, sizeof *typed);
  const char* text = argText;
  size_t used = 0;
  const char* word = nullptr;
  bool quoted = false;
  while (typed->reading == TypedReading::kRun) {
    while (IsBlank(*text)) ++text;
    if (text[0] == '-' && text[1] == '-' && (text[2] == '\0' || IsBlank(text[2]))) {
      text += 2;
      while (IsBlank(*text)) ++text;
      typed->request.programArgs = text;
      return;
    }
    if (*text == '\0') return;
    if (!NextWord(&text, typed, &used, &word, &quoted)) return RefuseWord(typed, "the command line is too long", "");
    if (!quoted && (word[0] == '/' || word[0] == '-')) ReadSwitchWord(typed, word, word + 1, &text, &used);
    else if (typed->request.folder != nullptr) RefuseWord(typed, "more than one folder given: ", word);
    else typed->request.folder = word;
  }
}

bool ChooseRequest(StubRun* run, const RunRequest& request, const RunRequest** chosen, RunOutcome* outcome) {
  *chosen = &request;
  if (request.argText == nullptr || !Asks(run->options, kBehaveSwitches)) return true;
  TypedSwitches* typed = &run->typed;
  ReadTypedSwitches(request.argText, typed);
  typed->request.ownPath = request.ownPath;
  typed->request.argText = request.argText;
  *chosen = &typed->request;
  if (typed->reading == TypedReading::kRun) return true;
  // The letters read so far decide whether the run is silent, and a log
  // given before the fault receives it.
  bool report = false;
  (void)ApplySwitches(run, typed->request, &report);
  if (typed->request.logPath != nullptr) OpenRunLog(run, typed->request.logPath);
  if (typed->reading == TypedReading::kUsage) *outcome = UsageOutcome(run, nullptr, nullptr);
  else *outcome = UsageOutcome(run, typed->problem, typed->word);
  return false;
}

bool TakeTypedExtras(StubRun* run, const RunRequest& request, RunOutcome* outcome) {
  if (request.logPath != nullptr && !OpenRunLog(run, request.logPath)) {
    *outcome = UsageOutcome(run, "the log cannot be written: ", request.logPath);
    return false;
  }
  if (request.programArgs == nullptr || *request.programArgs == '\0') return true;
  char extra[sizeof run->options.execArgs];
  if (!PlatformTakeSystemText(request.programArgs, extra, sizeof extra)) {
    *outcome = UsageOutcome(run, "the arguments after -- are too long: ", request.programArgs);
    return false;
  }
  char* args = run->options.execArgs;
  const size_t length = std::strlen(args);
  // The program's arguments follow the stored ones after one blank.
  const int added = std::snprintf(args + length, sizeof run->options.execArgs - length, "%s%s",
                                  length > 0 ? " " : "", extra);
  if (added < 0 || static_cast<size_t>(added) >= sizeof run->options.execArgs - length) {
    args[length] = '\0';
    *outcome = UsageOutcome(run, "the arguments after -- are too long: ", extra);
    return false;
  }
  return true;
}

Result ExpandStoredFolder(StubRun* run) {
  if (!Asks(run->options, kBehavePrivateFolder) || !Holds(run->tempFolder, '%')) return kOk;
  char expanded[kPathSize];
  if (!PlatformExpandEnvironment(run->tempFolder, expanded, sizeof expanded))
    return NoteFault(&run->faults, kErrorCannotOpen, run->tempFolder);
  std::memcpy(run->tempFolder, expanded, sizeof run->tempFolder);
  return kOk;
}

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
  *request = RunRequest{};
  request->ownPath = ownPath;
  size_t count = 0;
  for (char letter; (letter = NextSwitch(parser)) != 0;) request->switches[count++] = letter;
  request->switches[count] = '\0';
  request->folder = NextArgument(parser);
  request->argText = argText;
}

Result ApplySwitches(StubRun* run, const RunRequest& request, bool* report) {
  run->licenceAccepted = request.accept;
  run->folderGiven = request.folder != nullptr;
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
  // The folder as the run writes paths (UTF-8 for names recorded so).
  char taken[sizeof run->tempFolder];
  if (!PlatformTakeSystemText(folder, taken, sizeof taken)) {
    // A folder too long for its 259 characters is refused (error 0 names it); the folder stays as it was.
    return NoteFault(&run->faults, kErrorCannotOpen, folder);
  }
  std::memset(run->tempFolder, 0, sizeof run->tempFolder);
  std::strcpy(run->tempFolder, taken);
  return kOk;
}
