// Messages: the numbered error boxes that end a run, and the "Overwrite
// file" question.
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "resources/resource.h"
#include "startup/startup.h"

namespace {

constexpr int kMessageSize = 520;
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

void EndRun(const StubRun* run, Result failure) {
  switch (failure.error) {
    case kStopCancelled:
      PlatformExitProcess(PlatformExitCode(kEndCancelled, 0));
    case kStopNoTreePool:
      PlatformExitProcess(PlatformExitCode(kEndNoTreePool, 0));
    case kStopNoTableMemory:
      std::printf("%s", run->faults.first.text);
      PlatformExitProcess(PlatformExitCode(kEndErrorShown, 0));
    default:
      break;
  }
  if (!run->faults.goOn) {
    // The first failure of the run is the one shown.
    const Fault& fault = run->faults.first.error != kNoError ? run->faults.first : Fault{failure.error, 0, -1, {}, {}};
    char caption[kPathSize] = {};
    char message[kMessageSize] = {};
    PlatformLoadString(IDS_ERROR_CAPTION, caption, sizeof caption);
    FormatErrorText(fault, run->archive.name, message, sizeof message);
    PlatformMessageBox(message, caption, kMbOk);
  }
  PlatformExitProcess(PlatformExitCode(kEndErrorShown, 0));
}

int AskOverwrite(void* self, const char* target) {
  StubRun* run = static_cast<StubRun*>(self);
  char shortened[kPathSize];
  std::memset(run->question, 0, sizeof run->question);
  std::snprintf(run->question, sizeof run->question, "%s", ShortenForDisplay(target, kQuestionWidth, shortened));
  int answer = 'C';
  const bool silent = OptionField(run->options.record.optionWord, kPromptUserForOptions) == 0;
  if (!PlatformOverwriteDialog(run->question, silent, &answer)) {
    char question[kPathSize] = {};
    char caption[kPathSize] = {};
    PlatformLoadString(IDS_NEW_FOLDER, question, sizeof question);
    PlatformLoadString(IDS_ERROR_CAPTION, caption, sizeof caption);
    PlatformMessageBox(question, caption, kMbIconQuestion);
    PlatformExitProcess(0);
  }
  return answer;
}
