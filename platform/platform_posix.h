// Helper of the POSIX backend that the tests reach directly: splitting a
// Windows-style command line (the launch's) into argv.
#pragma once

#include <cstddef>

// Splits a command line by the Windows rules: the program name runs to the
// closing quote (quoted) or to the first blank or tab; after it, blanks and
// tabs separate arguments outside quotes, 2n backslashes before a quote give n
// backslashes and a delimiting quote, 2n+1 give n backslashes and a literal
// quote, and "" inside quotes gives a literal quote. The texts go to storage
// (at least 2 * strlen(commandLine) + 2 bytes), the pointers to argv (at
// least strlen(commandLine) / 2 + 2 entries, null-terminated). Returns argc.
int PosixSplitCommandLine(const char* commandLine, char* storage, char** argv);
