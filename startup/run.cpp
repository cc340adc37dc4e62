// The run sequence: take the own path from the command line, load the stored
// options, apply the switches, extract, launch and clean up.
#include <cstring>

#include "container/container.h"
#include "launch/launch.h"
#include "output/output.h"
#include "platform/platform.h"
#include "startup/startup.h"

int StubMain(const char* argText) {
  if (!argText) argText = "";
  TakeOwnPath(PlatformCommandLine(), argText);
  std::memset(gStartup.tempFolder, 0, sizeof gStartup.tempFolder);
  // The hidden main window is created but never shown; nothing depends on it.
  PlatformCreateHiddenWindow();

  // Searching the file and parsing the option block happen only while the
  // remembered position is 0.
  gContainer.optionBlockPos = 0;
  LoadStoredOptions(gStartup.ownPath);
  ApplySwitches(argText);
  RunStub();
  return 0;
}

void RunStub() {
  if (gStartup.tempFolder[0] == '\0') DefaultTemporaryFolder(gStartup.tempFolder);
  ExtractArchive(gStartup.ownPath);
  RunAndCleanUp();
}
