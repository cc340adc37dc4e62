// The Linux command line, read the way Linux users write it, into the run's
// request: no Windows command line is formed from it.
#include <cstring>

#include "startup/startup.h"

namespace {

constexpr char kSwitchLetters[] = "adikopqrsADIKOPQRS";

char LowerCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Appends letter, dropping an earlier place of the same letter (either case):
// a letter's effect is fixed by its last place alone, so the switches keep
// at most one place per letter and always fit.
void AddLetter(RunRequest* request, char letter) {
  char* letters = request->switches;
  size_t n = std::strlen(letters);
  for (size_t i = 0; i < n; ++i) {
    if (LowerCase(letters[i]) != LowerCase(letter)) continue;
    std::memmove(letters + i, letters + i + 1, n - i);
    --n;
    break;
  }
  letters[n] = letter;
  letters[n + 1] = '\0';
}

void Refuse(PosixArguments* parsed, const char* problem, const char* detail) {
  parsed->command = PosixCommand::kUsageError;
  parsed->problem = problem;
  parsed->detail = detail;
}

// One argument that begins with "--": a long option, or a usage error.
void ReadLongOption(PosixArguments* parsed, const char* arg) {
  if (std::strcmp(arg, "--help") == 0) parsed->command = PosixCommand::kHelp;
  else if (std::strcmp(arg, "--version") == 0) parsed->command = PosixCommand::kVersion;
  else if (std::strcmp(arg, "--list") == 0) parsed->command = PosixCommand::kList;
  else if (std::strcmp(arg, "--check") == 0) parsed->command = PosixCommand::kCheck;
  else if (std::strcmp(arg, "--noexec") == 0) parsed->request.noExec = true;
  else if (std::strcmp(arg, "--accept") == 0) parsed->accept = true;
  else Refuse(parsed, "unknown option ", arg);
}

// Appends arg to text (size bytes) as the program's argv entry would be read
// back by the Windows rules: quoted when it is empty or holds a blank, a tab
// or a quote, with the backslashes before a quote (or the closing one)
// doubled and the quote escaped. False when it does not fit.
bool AppendQuoted(char* text, size_t size, const char* arg) {
  size_t n = std::strlen(text);
  auto put = [&](char c) {
    if (n + 1 >= size) return false;
    text[n++] = c;
    text[n] = '\0';
    return true;
  };
  if (n > 0 && !put(' ')) return false;
  const bool quoted = arg[0] == '\0' || std::strpbrk(arg, " \t\"") != nullptr;
  if (!quoted) {
    for (const char* c = arg; *c; ++c)
      if (!put(*c)) return false;
    return true;
  }
  if (!put('"')) return false;
  for (const char* c = arg;; ++c) {
    size_t backslashes = 0;
    while (*c == '\\') ++backslashes, ++c;
    // Before a quote or the closing quote, each backslash is doubled.
    const size_t copies = (*c == '"' || *c == '\0') ? 2 * backslashes : backslashes;
    for (size_t i = 0; i < copies; ++i)
      if (!put('\\')) return false;
    if (*c == '\0') break;
    if ((*c == '"' && !put('\\')) || !put(*c)) return false;
  }
  return put('"');
}

// One group of switch letters after its '-'.
void ReadLetters(PosixArguments* parsed, const char* letters) {
  for (const char* c = letters; *c; ++c) {
    if (std::strchr(kSwitchLetters, *c) == nullptr) {
      parsed->letter[0] = '-', parsed->letter[1] = *c, parsed->letter[2] = '\0';
      Refuse(parsed, "unknown switch ", parsed->letter);
      return;
    }
    AddLetter(&parsed->request, *c);
  }
}

}  // namespace

void ParsePosixArguments(int argc, const char* const* argv, PosixArguments* parsed, bool toProgram) {
  *parsed = PosixArguments{};
  parsed->command = PosixCommand::kRun;
  parsed->request.ownPath = "";
  bool switchesDone = false;
  for (int i = 1; i < argc && parsed->command == PosixCommand::kRun; ++i) {
    const char* arg = argv[i];
    if (switchesDone && toProgram) {
      if (!AppendQuoted(parsed->programText, sizeof parsed->programText, arg))
        Refuse(parsed, "the arguments after -- are too long for the program's command line: ", arg);
      parsed->request.programArgs = parsed->programText;
    } else if (!switchesDone && std::strcmp(arg, "--") == 0) switchesDone = true;
    else if (!switchesDone && std::strcmp(arg, "-h") == 0) parsed->command = PosixCommand::kHelp;
    else if (!switchesDone && arg[0] == '-' && arg[1] == '-') ReadLongOption(parsed, arg);
    else if (!switchesDone && arg[0] == '-' && arg[1] != '\0') ReadLetters(parsed, arg + 1);
    else if (parsed->request.folder != nullptr) Refuse(parsed, "more than one folder given: ", arg);
    else parsed->request.folder = arg;
  }
}
