// The run sequence: take the own path from the command line, load the stored
// options, apply the switches, extract, launch and clean up. Every failure
// that the layers below return ends here: the run either goes on after it
// (IgnoreErrors) or ends with its message.
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "launch/launch.h"
#include "resources/resource.h"
#include "startup/startup.h"

namespace {

// A failure ends the run unless IgnoreErrors lets it go on; the outcomes
// beyond the numbered errors, and a decoder memory that cannot be had, end
// it always.
void Decide(const StubRun* run, Result result) {
  if (result.ok() || result.error == kSilentFailure) return;
  if (result.error > kLastErrorNumber || result.error == kErrorCannotProcess || !run->faults.goOn)
    EndRun(run, result);
}

// A line on standard error where the platform has one: "<path>: <what><reason>".
void Tell(const char* path, const char* what, const char* more) {
  char notice[2 * kPathSize + 160];
  std::snprintf(notice, sizeof notice, "%s: %s%s", path, what, more);
  PlatformNotice(notice);
}

void ShowNoAssociation() {
  char text[kPathSize];
  char caption[kPathSize];
  PlatformLoadString(IDS_NO_APPLICATION, text, sizeof text);
  PlatformLoadString(IDS_ERROR_CAPTION, caption, sizeof caption);
  PlatformMessageBox(text, caption, kMbOk);
}

}  // namespace

int StubMain(const char* argText) {
  // One run per process; kept out of the stack for its size.
  static StubRun run;
  return RunStub(&run, argText ? argText : "");
}

int RunStub(StubRun* run, const char* argText) {
  TakeOwnPath(run, PlatformCommandLine(), argText);
  std::memset(run->tempFolder, 0, sizeof run->tempFolder);
  // The hidden main window is created but never shown; nothing depends on it.
  PlatformCreateHiddenWindow();

  // Until the options record is read the option word is zero, so a failure
  // before it ends the run; after it, the stored IgnoreErrors decides.
  ClearFaults(&run->faults, false);
  run->archive.optionBlockPos = 0;
  Result loaded = LoadStoredOptions(run->ownPath, &run->archive, &run->options, &run->faults);
  std::memcpy(run->tempFolder, run->options.tempFolder, sizeof run->tempFolder);
  run->faults.goOn = OptionField(run->options.record.optionWord, kIgnoreErrors) != 0;
  Decide(run, loaded);

  bool report = false;
  Result switched = ApplySwitches(run, argText, &report);
  run->faults.goOn = OptionField(run->options.record.optionWord, kIgnoreErrors) != 0;
  Decide(run, switched);
  if (report) ShowOptionsReport(run);

  if (run->tempFolder[0] == '\0') {
    Result made = PlatformMakeRunFolder(run->tempFolder, sizeof run->tempFolder, &run->ownFolder, &run->faults);
    if (!made.ok()) EndRun(run, made);
    if (!run->ownFolder) DefaultTemporaryFolder(run->tempFolder);
  }
  Decide(run, ExtractArchive(run));

  // The files were written relative to the current folder, which the launch
  // changes: the clean-up walks the folder resolved against it beforehand.
  char written[kPathSize];
  const bool resolved = ResolveAgainstCurrentFolder(run->tempFolder, written, sizeof written);
  LaunchOutcome outcome;
  Result launched = LaunchStoredFile(run->tempFolder, &run->options, &run->output.written, &outcome);
  int exitCode = PlatformExitCode(kEndNormal, 0);
  if (launched.ok() && run->options.record.execLength != 0)
    exitCode = PlatformExitCode(kEndProgramStatus, outcome.exitStatus);
  if (launched.error == kNoAssociation) {
    ShowNoAssociation();
    exitCode = PlatformExitCode(kEndCannotStart, 0);
  }
  if (launched.error == kNotWrittenByRun) {
    Tell(outcome.path, "not started: this run did not write it", "");
    exitCode = PlatformExitCode(kEndNotExtracted, 0);
  }
  if (launched.error == kCannotStart) {
    Tell(outcome.path, "cannot be started: ",
         outcome.startError != 0 ? std::strerror(outcome.startError) : "its path or command line is too long");
    if (outcome.startError != 0)
      PlatformNotice("(the folder may not allow programs to run: give a folder on another file system as the argument)");
    exitCode = PlatformExitCode(kEndCannotStart, 0);
  }
  if (resolved && OptionField(run->options.record.optionWord, kDeleteSFXwhenDone) != 0)
    CleanUp(written, &run->output.written, run->ownFolder);
  return exitCode;
}
