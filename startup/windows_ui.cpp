// The windows of an archive whose extension record asks for them, in the
// order of a run: the licence and "Extract to" before anything is written,
// the progress while the files are written. The archive's title is their
// caption. Where the platform has no windows (POSIX) nothing is shown here.
#include <cstring>

#include "container/extension.h"
#include "format/format.h"
#include "launch/launch.h"
#include "startup/startup.h"

namespace {

PlatformText TitleOf(const StubRun* run) {
  return PlatformText{run->options.extension.title, run->options.extension.titleLength};
}

bool IsSilent(const StubRun* run) {
  return OptionField(run->options.record.optionWord, kPromptUserForOptions) == 0;
}

// True when the run may write: no licence, "/accept", or Accept in the
// window. A window that cannot be shown declines.
bool LicenceAccepted(const StubRun* run) {
  const ExtensionRecord& record = run->options.extension;
  if (!record.present || record.licenceLength == 0 || run->licenceAccepted) return true;
  if (IsSilent(run)) return false;
  const PlatformText text = {record.licence, record.licenceLength};
  return PlatformLicenceWindow(TitleOf(run), text) == WindowAnswer::kAccepted;
}

// False after Cancel. A window that cannot be shown leaves the folder as it is.
bool ChooseFolder(StubRun* run) {
  if (!run->options.extension.present || IsSilent(run) || run->folderGiven) return true;
  char folder[kPathSize];
  std::memcpy(folder, run->tempFolder, sizeof folder);
  const WindowAnswer answer = PlatformExtractToWindow(TitleOf(run), folder);
  if (answer == WindowAnswer::kDeclined) return false;
  if (answer == WindowAnswer::kNoWindow || std::strcmp(folder, run->tempFolder) == 0) return true;
  // The run's own folder, made empty for it, is not used now.
  if (run->ownFolder) PlatformRemoveFolder(run->tempFolder);
  run->ownFolder = false;
  std::memcpy(run->tempFolder, folder, sizeof folder);
  return true;
}

// Shows the open file and the percent; kStopCancelled once Cancel was pressed.
Result ShowProgress(ProgressOutput* progress) {
  const unsigned percent =
      progress->total == 0 ? 100u : static_cast<unsigned>(progress->done * 100 / progress->total);
  const char* name = progress->name != nullptr ? progress->name : "";
  if (!progress->cancelled && !PlatformShowProgress(progress->window, name, percent))
    progress->cancelled = true;
  return progress->cancelled ? NoteFault(progress->faults, kStopCancelled) : kOk;
}

Result OpenWithProgress(void* self, uint32_t index, const FileRecord& record, bool* write) {
  ProgressOutput* progress = static_cast<ProgressOutput*>(self);
  if (progress->name == nullptr)
    for (uint32_t i = 0; i < progress->files->count; ++i) progress->total += progress->files->records[i].size;
  progress->done = progress->opened;
  progress->opened += record.size;
  progress->name = record.name;
  const Result shown = ShowProgress(progress);
  if (!shown.ok()) return shown;
  return progress->inner.open(progress->inner.self, index, record, write);
}

Result WriteWithProgress(void* self, const uint8_t* bytes, uint32_t count) {
  ProgressOutput* progress = static_cast<ProgressOutput*>(self);
  progress->done += count;
  const Result shown = ShowProgress(progress);
  if (!shown.ok()) return shown;
  return progress->inner.write(progress->inner.self, bytes, count);
}

Result FinishWithProgress(void* self, uint32_t index, const FileRecord& record, bool complete) {
  ProgressOutput* progress = static_cast<ProgressOutput*>(self);
  return progress->inner.finish(progress->inner.self, index, record, complete);
}

void RemoveWithProgress(void* self) {
  ProgressOutput* progress = static_cast<ProgressOutput*>(self);
  progress->inner.remove(progress->inner.self);
}

}  // namespace

bool AskBeforeWriting(StubRun* run, RunOutcome* outcome) {
  if (!PlatformHasWindows() || (LicenceAccepted(run) && ChooseFolder(run))) return true;
  *outcome = RunOutcome{};
  outcome->exitCode = PlatformExitCode(kEndCancelled, 0);
  outcome->show = Showing::kNothing;
  return false;
}

OutputSink StartProgress(StubRun* run, ProgressOutput* progress, OutputSink inner) {
  *progress = ProgressOutput{};
  progress->inner = inner;
  progress->files = &run->files;
  progress->faults = &run->faults;
  if (!PlatformHasWindows() || !Asks(run->options, kBehaveProgress) || IsSilent(run)) return inner;
  progress->window = PlatformOpenProgress(TitleOf(run));
  if (progress->window == nullptr) return inner;
  return OutputSink{progress, OpenWithProgress, WriteWithProgress, FinishWithProgress, RemoveWithProgress};
}

Result EndProgress(StubRun* run, ProgressOutput* progress, Result result) {
  // A Cancel pressed after the last file was opened counts too.
  if (progress->window != nullptr) (void)ShowProgress(progress);
  PlatformCloseProgress(progress->window);
  progress->window = nullptr;
  if (!progress->cancelled) return result;
  // Cancel takes back what the run wrote, as the clean-up after the program does.
  char written[kPathSize];
  if (ResolveAgainstCurrentFolder(run->tempFolder, written, sizeof written))
    CleanUp(written, &run->output.written, run->ownFolder);
  return Result{kStopCancelled};
}
