// Runs the "Overwrite file" dialog of the Win32 backend on its own, so that
// the Wine tests can drive the dialog without an archive. Argument text:
// "[-s] <question>"; -s places the dialog as a silent extraction does. The
// exit code is the answer letter ('Y', 'N', 'A', 'C'), or 255 when the dialog
// could not be created.
#include <cstring>

#include "platform/platform.h"

int StubMain(const char* argText) {
  bool silent = false;
  if (std::strncmp(argText, "-s ", 3) == 0) {
    silent = true;
    argText += 3;
  }
  int answer = 'C';
  if (!PlatformOverwriteDialog(argText, silent, &answer)) return 255;
  return answer;
}
