// Helpers of the POSIX backend that the tests reach directly: forming a
// Windows-style command line from argv, splitting one back into argv, and the
// argument text that the Windows runtime hands to its GUI entry point.
#pragma once

#include <cstddef>

// Writes the command line for argv into out (size bytes, NUL-terminated):
// argv[0] in double quotes, each further argument after one blank, quoted
// when it holds a blank or a tab, is empty, or is an absolute path (a slash
// first and another one later), with quotes and the backslashes
// before them escaped so that PosixSplitCommandLine gives the argument back.
// An argument that would not fit is dropped with all after it. Returns the
// length written.
size_t PosixFormCommandLine(int argc, const char* const* argv, char* out, size_t size);

// Splits a command line by the Windows rules: the program name runs to the
// closing quote (quoted) or to the first blank or tab; after it, blanks and
// tabs separate arguments outside quotes, 2n backslashes before a quote give n
// backslashes and a delimiting quote, 2n+1 give n backslashes and a literal
// quote, and "" inside quotes gives a literal quote. The texts go to storage
// (at least 2 * strlen(commandLine) + 2 bytes), the pointers to argv (at
// least strlen(commandLine) / 2 + 2 entries, null-terminated). Returns argc.
int PosixSplitCommandLine(const char* commandLine, char* storage, char** argv);

// The argument text behind the program name, as the Windows runtime start-up
// computes it: a quoted program name runs to the next double quote, an
// unquoted one to the first character of code 0x20 or less; the characters
// of code 1 to 0x20 behind it are skipped. Points into commandLine.
const char* PosixArgumentText(const char* commandLine);
