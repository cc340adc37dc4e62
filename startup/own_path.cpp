// The start-up texts: the copy of the process command line, the stub's own
// path taken from it, and the temporary folder.
#include <cstring>

#include "startup/startup.h"

void TakeOwnPath(StubRun* run, const char* commandLine, const char* argText) {
  char* copy = run->commandLine;
  char* own = run->ownPath;
  std::memset(copy, 0, sizeof run->commandLine);
  std::memset(own, 0, sizeof run->ownPath);
  // A command line over 519 characters is cut in the copy; the switches still get the whole argument text.
  std::strncpy(copy, commandLine, sizeof run->commandLine - 1);

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
