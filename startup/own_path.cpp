// The start-up texts: the copy of the process command line, the stub's own
// path taken from it, and the temporary folder.
#include <cstring>

#include "startup/startup.h"

// Invariants: each text is NUL-terminated within its buffer; commandLine
// and ownPath hold at most 519 characters, tempFolder at most 259.
StartupState gStartup;

void TakeOwnPath(const char* commandLine, const char* argText) {
  char* copy = gStartup.commandLine;
  char* own = gStartup.ownPath;
  std::memset(copy, 0, sizeof gStartup.commandLine);
  std::memset(own, 0, sizeof gStartup.ownPath);
  // A command line over 519 characters is cut in the copy; the switches still get the whole argument text.
  std::strncpy(copy, commandLine, sizeof gStartup.commandLine - 1);

  // Quoted program name: everything up to the quote that a blank follows;
  // the last character of the copy is never examined.
  size_t length = std::strlen(copy);
  if (copy[0] == '"') {
    size_t n = 0;
    for (size_t i = 1; i + 1 < length; ++i) {
      if (copy[i] == '"' && copy[i + 1] == ' ') break;
      own[n++] = copy[i];
    }
  }
  if (own[0] != '\0') return;

  // Otherwise the command line less its trailing argument text, blanks kept.
  size_t whole = std::strlen(commandLine);
  size_t args = argText ? std::strlen(argText) : 0;
  size_t keep = args <= whole ? whole - args : 0;
  if (keep > length) keep = length;
  std::memcpy(own, copy, keep);
}
