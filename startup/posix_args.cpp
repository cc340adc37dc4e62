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
  else Refuse(parsed, "unknown option ", arg);
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

void ParsePosixArguments(int argc, const char* const* argv, PosixArguments* parsed) {
  std::memset(parsed, 0, sizeof *parsed);
  parsed->command = PosixCommand::kRun;
  parsed->request.ownPath = "";
  bool switchesDone = false;
  for (int i = 1; i < argc && parsed->command == PosixCommand::kRun; ++i) {
    const char* arg = argv[i];
    if (!switchesDone && std::strcmp(arg, "--") == 0) switchesDone = true;
    else if (!switchesDone && std::strcmp(arg, "-h") == 0) parsed->command = PosixCommand::kHelp;
    else if (!switchesDone && arg[0] == '-' && arg[1] == '-') ReadLongOption(parsed, arg);
    else if (!switchesDone && arg[0] == '-' && arg[1] != '\0') ReadLetters(parsed, arg + 1);
    else if (parsed->request.folder != nullptr) Refuse(parsed, "more than one folder given: ", arg);
    else parsed->request.folder = arg;
  }
}
