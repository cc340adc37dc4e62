// Messages: the numbered error boxes that end a run, and the "Overwrite
// file" question.
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "resources/resource.h"
#include "startup/startup.h"

namespace {

constexpr int kErrorPathWidth = 60;  // error 0 shows the path shortened to this
constexpr int kQuestionWidth = 70;   // the overwrite question shows the target so

// String number of error `code` (0 to 22): 12 + 2N up to 8, then 20 + N.
unsigned ErrorStringId(int code) {
  return code <= 8 ? IDS_FIRST_ERROR + 2u * static_cast<unsigned>(code) : 20u + static_cast<unsigned>(code);
}

}  // namespace

const char* ShortenForDisplay(const char* path, int n, char* out) {
  // The buffer holds 259 characters, so wider limits count as 259; limits
  // below 2 still give the two dots.
  if (n > static_cast<int>(kPathSize) - 1) n = kPathSize - 1;
  if (n < 2) n = 2;
  const size_t length = std::strlen(path);
  if (length <= static_cast<size_t>(n)) return path;
  std::snprintf(out, kPathSize, "..%s", path + length - static_cast<size_t>(n - 2));
  return out;
}

void FormatErrorText(const Fault& fault, const char* archiveName, char* out, int size) {
  char format[kPathSize] = {};
  const int code = fault.error;
  out[0] = '\0';
  if (code == kStopDamagedRecord || code == kStopNeedsNewer) {
    PlatformLoadString(code == kStopDamagedRecord ? IDS_DAMAGED_RECORD : IDS_NEEDS_NEWER, format, sizeof format);
    std::snprintf(out, static_cast<size_t>(size), format, archiveName);
    return;
  }
  if (code < 0 || code > kLastErrorNumber) return;
  PlatformLoadString(ErrorStringId(code), format, sizeof format);
  char shortened[kPathSize];
  // A message longer than the buffer is cut there by snprintf.
  switch (code) {
    case kErrorCannotOpen:
      std::snprintf(out, static_cast<size_t>(size), format, ShortenForDisplay(fault.subject, kErrorPathWidth, shortened));
      break;
    case kErrorNotArchive:
    case kErrorDamaged:
    case kErrorCannotProcess:
    case kErrorProtected:
      std::snprintf(out, static_cast<size_t>(size), format, archiveName);
      break;
    case kErrorMarker:
      std::snprintf(out, static_cast<size_t>(size), format, static_cast<int>(fault.offset));
      break;
    default:
      std::snprintf(out, static_cast<size_t>(size), "%s", format);
      break;
  }
}

RunOutcome FailureOutcome(const StubRun* run, Result failure) {
  RunOutcome outcome = {};
  outcome.exitCode = PlatformExitCode(kEndErrorShown, 0);
  outcome.show = Showing::kNothing;
  if (run->noDialog) {
    // The overwrite dialog could not be created: its question in a box.
    outcome.exitCode = 0;
    outcome.show = Showing::kBox;
    outcome.style = kMbIconQuestion;
    PlatformLoadString(IDS_NEW_FOLDER, outcome.text, kPathSize);
    PlatformLoadString(IDS_ERROR_CAPTION, outcome.caption, sizeof outcome.caption);
    return outcome;
  }
  switch (failure.error) {
    case kStopCancelled:
      outcome.exitCode = PlatformExitCode(kEndCancelled, 0);
      return outcome;
    case kStopNoTreePool:
      outcome.exitCode = PlatformExitCode(kEndNoTreePool, 0);
      return outcome;
    case kStopNoTableMemory:
      outcome.show = Showing::kLine;
      std::snprintf(outcome.text, sizeof outcome.text, "%s", run->faults.first.text);
      return outcome;
    default:
      break;
  }
  if (!run->faults.goOn) {
    // The first failure of the run is the one shown.
    const Fault& fault = run->faults.first.error != kNoError ? run->faults.first : Fault{failure.error, 0, -1, {}, {}};
    outcome.show = Showing::kBox;
    outcome.style = kMbOk;
    PlatformLoadString(IDS_ERROR_CAPTION, outcome.caption, sizeof outcome.caption);
    FormatErrorText(fault, run->archive.name, outcome.text, sizeof outcome.text);
  }
  return outcome;
}

int AskOverwrite(void* self, const char* target) {
  StubRun* run = static_cast<StubRun*>(self);
  char shortened[kPathSize];
  std::memset(run->question, 0, sizeof run->question);
  std::snprintf(run->question, sizeof run->question, "%s", ShortenForDisplay(target, kQuestionWidth, shortened));
  int answer = 'C';
  const bool silent = OptionField(run->options.record.optionWord, kPromptUserForOptions) == 0;
  if (!PlatformOverwriteDialog(run->question, silent, &answer)) {
    run->noDialog = true;
    return 'C';
  }
  return answer;
}
