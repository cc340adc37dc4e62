// Entry of the Windows stub (called by WinMain with the argument text): the
// command line read by the Windows rules into the run's request, the run,
// and what it ends with. The process ends when this returns.
#include "startup/startup.h"

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
  // the clean-up took all) goes; one that holds the files stays.
  if (run.ownFolder) PlatformRemoveFolder(run.tempFolder);
  return outcome.exitCode;
}
