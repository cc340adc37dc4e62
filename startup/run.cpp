// The run sequence: load the stored options, apply the request's switches,
// extract, launch and clean up. Every failure that the layers below return
// ends here: the run either goes on after it (IgnoreErrors) or ends with its
// message, which goes back to the entry with the exit code.
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "launch/launch.h"
#include "resources/resource.h"
#include "startup/startup.h"

namespace {

// A line on standard error where the platform has one, and in the run's
// log: "<path>: <what><reason>".
void Tell(const StubRun* run, const char* path, const char* what, const char* more) {
  char notice[2 * kPathSize + 160];
  std::snprintf(notice, sizeof notice, "%s: %s%s", path, what, more);
  PlatformNotice(notice);
  LogMessage(run, notice);
}

void ShowNoAssociation(const StubRun* run) {
  char text[kPathSize];
  char caption[kPathSize];
  PlatformLoadString(IDS_NO_APPLICATION, text, sizeof text);
  PlatformLoadString(IDS_ERROR_CAPTION, caption, sizeof caption);
  Say(run, text, caption);
}

// The links an archive holds that this platform passed over: one message
// after the extraction (in the log only when the run is silent).
void TellPassedLinks(const StubRun* run) {
  const LinkWork& links = run->output.links;
  if (links.passed == 0) return;
  char format[kPathSize], caption[kPathSize], text[2 * kPathSize + 32];
  PlatformLoadString(IDS_LINKS_PASSED, format, sizeof format);
  PlatformLoadString(IDS_LINKS_CAPTION, caption, sizeof caption);
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(links.passed), links.firstPassed);
  if (OptionField(run->options.record.optionWord, kPromptUserForOptions) == 0) LogMessage(run, text);
  else Say(run, text, caption);
}

// The links held back until every file was written are made now, unless the
// extraction failed and the run does not go on.
Result MakeHeldLinks(StubRun* run, Result extracted) {
  if (!extracted.ok() && !run->faults.goOn) {
    ForgetPendingLinks(&run->output);
    return extracted;
  }
  Result linked = MakePendingLinks(&run->output);
  TellPassedLinks(run);
  return extracted.ok() ? linked : extracted;
}

RunOutcome EndsWithCode(int exitCode) {
  RunOutcome outcome = {};
  outcome.exitCode = exitCode;
  outcome.show = Showing::kNothing;
  return outcome;
}

// The launch of the execute file and the clean-up: the exit code of the run.
int LaunchAndCleanUp(StubRun* run) {
  // The files were written relative to the current folder, which the launch
  // changes: the clean-up walks the folder resolved against it beforehand.
  char written[kPathSize];
  const bool resolved = ResolveAgainstCurrentFolder(run->tempFolder, written, sizeof written);
  LaunchOutcome outcome;
  Result launched = LaunchStoredFile(run->tempFolder, &run->options, &run->output.written, &outcome);
  int exitCode = RunExitCode(run, kEndNormal, 0);
  if (launched.ok() && run->options.record.execLength != 0)
    exitCode = RunExitCode(run, kEndProgramStatus, outcome.exitStatus);
  if (launched.error == kNoAssociation) {
    ShowNoAssociation(run);
    exitCode = RunExitCode(run, kEndCannotStart, 0);
  }
  if (launched.error == kNotWrittenByRun) {
    Tell(run, outcome.path, "not started: this run did not write it", "");
    exitCode = RunExitCode(run, kEndNotExtracted, 0);
  }
  if (launched.error == kCannotStart) {
    char reason[kPathSize] = "its path or command line is too long";
    if (outcome.startError != 0) PlatformSystemReason(outcome.startError, reason, sizeof reason);
    Tell(run, outcome.path, "cannot be started: ", reason);
    if (PlatformStartWasDenied(outcome.startError))
      PlatformNotice("(the folder may not allow programs to run: give a folder on another file system as the argument)");
    exitCode = RunExitCode(run, kEndCannotStart, 0);
  }
  if (resolved && OptionField(run->options.record.optionWord, kDeleteSFXwhenDone) != 0)
    CleanUp(written, &run->output.written, run->ownFolder);
  return exitCode;
}

// An archive whose record says its names are UTF-8 makes every path of the
// run UTF-8: the own path, read from the system before, is read into it.
bool TakeNameForm(StubRun* run) {
  if (!run->options.extension.utf8Names) return true;
  PlatformUseUtf8Names(true);
  char own[sizeof run->ownPath];
  if (!PlatformTakeSystemText(run->ownPath, own, sizeof own)) return false;
  std::memcpy(run->ownPath, own, sizeof own);
  return true;
}

}  // namespace

bool EndsRun(const StubRun* run, Result result, RunOutcome* outcome) {
  if (run->noDialog) {
    *outcome = FailureOutcome(run, result);
    return true;
  }
  if (result.ok() || result.error == kSilentFailure) return false;
  if (result.error > kLastErrorNumber || result.error == kErrorCannotProcess || !run->faults.goOn) {
    *outcome = FailureOutcome(run, result);
    return true;
  }
  return false;
}

void ShowOutcome(const RunOutcome& outcome) {
  if (outcome.show == Showing::kBox) PlatformMessageBox(outcome.text, outcome.caption, outcome.style);
  if (outcome.show == Showing::kLine) std::printf("%s", outcome.text);
}

bool StartRun(StubRun* run, const RunRequest& request, RunOutcome* outcome) {
  if (request.ownPath != run->ownPath) std::snprintf(run->ownPath, sizeof run->ownPath, "%s", request.ownPath);
  std::memset(run->tempFolder, 0, sizeof run->tempFolder);
  run->noDialog = false;
  // The hidden main window is created but never shown; nothing depends on it.
  PlatformCreateHiddenWindow();

  // Until the options record is read the option word is zero, so a failure
  // before it ends the run; after it, the stored IgnoreErrors decides.
  ClearFaults(&run->faults, false);
  run->archive.optionBlockPos = 0;
  PlatformUseUtf8Names(false);
  Result loaded = LoadStoredOptions(run->ownPath, &run->archive, &run->options, &run->faults);
  std::memcpy(run->tempFolder, run->options.tempFolder, sizeof run->tempFolder);
  run->faults.goOn = OptionField(run->options.record.optionWord, kIgnoreErrors) != 0;
  if (EndsRun(run, loaded, outcome)) return false;
  if (!TakeNameForm(run)) {
    *outcome = FailureOutcome(run, NoteFault(&run->faults, kErrorCannotOpen, run->ownPath));
    return false;
  }
  // An archive with the extension record may ask for other switch rules.
  const RunRequest* asked = &request;
  if (!ChooseRequest(run, request, &asked, outcome)) return false;

  bool report = false;
  Result switched = ApplySwitches(run, *asked, &report);
  run->faults.goOn = OptionField(run->options.record.optionWord, kIgnoreErrors) != 0;
  if (!TakeTypedExtras(run, *asked, outcome)) return false;
  if (EndsRun(run, switched, outcome)) return false;
  if (asked->folder == nullptr && EndsRun(run, ExpandStoredFolder(run), outcome)) return false;
  if (report) {
    *outcome = OptionsReport(run);
    return false;
  }

  if (run->tempFolder[0] == '\0') {
    Result made = PlatformMakeRunFolder(run->tempFolder, sizeof run->tempFolder, &run->ownFolder, &run->faults);
    if (made.ok() && !run->ownFolder && Asks(run->options, kBehavePrivateFolder))
      made = PlatformMakePrivateFolder(run->tempFolder, sizeof run->tempFolder, &run->faults), run->ownFolder = made.ok();
    if (!made.ok()) {
      *outcome = FailureOutcome(run, made);
      return false;
    }
    if (!run->ownFolder) DefaultTemporaryFolder(run->tempFolder);
  }
  return true;
}

RunOutcome RunStub(StubRun* run, const RunRequest& request) {
  RunOutcome outcome;
  if (!StartRun(run, request, &outcome) || !AskBeforeWriting(run, &outcome)) return outcome;
  StartDiskOutput(&run->output, run->tempFolder, run->options.record.optionWord, AskOverwrite, run, &run->faults);
  run->output.temporaryNames = Asks(run->options, kBehaveCheckFirst);
  run->output.progress = run->progress;
  ProgressOutput progress;
  const Result extracted =
      MakeHeldLinks(run, ExtractArchive(run, StartProgress(run, &progress, DiskSink(&run->output))));
  // The end of the extraction, told before the program starts.
  if (run->progress.hook != nullptr) run->progress.hook(run->progress.self, nullptr, 0);
  if (EndsRun(run, EndProgress(run, &progress, extracted), &outcome)) return outcome;
  if (request.noExec) return EndsWithCode(PlatformExitCode(kEndNormal, 0));
  return EndsWithCode(LaunchAndCleanUp(run));
}
