// Entry of the Windows stub (called by WinMain with the argument text): the
// command line read by the Windows rules into the run's request, the run,
// and what it ends with. The process ends when this returns.
#include "format/format.h"
#include "startup/startup.h"

namespace {
constexpr int kRemovalTries = 50;  // of the run's own folder, 100 ms apart
}  // namespace

int StubMain(const char* argText) {
  // One run per process; kept out of the stack for its size.
  static StubRun run;
  if (argText == nullptr) argText = "";
  TakeOwnPath(&run, PlatformCommandLine(), argText);
  CommandLineParser parser;
  RunRequest request;
  ReadArgumentText(argText, run.ownPath, &parser, &request);
  const RunOutcome outcome = RunStub(&run, request);
  DestroyCommandLineParser(&parser);
  ShowOutcome(outcome);
  CloseRunLog(&run, outcome.exitCode);
  // A private folder of the run that holds nothing (nothing was written, or
  // the clean-up took all) goes; one that holds the files stays. After the
  // clean-up, the console that the system gave a console program may still
  // be in the folder for a moment: the removal is tried for up to 5 seconds.
  const bool cleaned = OptionField(run.options.record.optionWord, kDeleteSFXwhenDone) != 0;
  for (int tries = 0; run.ownFolder && !PlatformRemoveFolder(run.tempFolder) && cleaned && tries < kRemovalTries; ++tries)
    PlatformSleep(100);
  return outcome.exitCode;
}
