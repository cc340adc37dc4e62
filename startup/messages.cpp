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

// The usage box of the typed switches (an archive with the extension record).
const char kUsageText[] =
    "%s[/o] [/k] [/r] [/d] [/s] [/i] [/log FILE] [FOLDER] [-- ARGUMENTS]\n\n"
    "Extracts the files into FOLDER (default: the folder stored in the archive, else a new "
    "private folder in the temporary folder), then starts the program stored with them.\n\n"
    "/o\toverwrite existing files without asking\n"
    "/k\tgive the files their stored times and attributes\n"
    "/r\trecreate the stored folders\n"
    "/d\tremove the extracted files when the program has ended\n"
    "/p\task before overwriting\n"
    "/s, /q\tsilent: no messages (existing files are kept unless /o)\n"
    "/i\tgo on after errors\n"
    "/a\tshow the stored options\n"
    "/accept\taccept the licence without showing it\n"
    "/log FILE\twrite every message to FILE\n"
    "/?, -h, --help\tshow this text\n"
    "--\tgive the rest of the command line to the program\n\n"
    "Letters may be grouped (/ok is /o /k); - works as /.\n"
    "Exit code: the program's own; else 0 done, 1 cancelled or declined, 2 wrong command line, "
    "3 out of memory, 4 an error, 126 the program could not be started, 127 it was not extracted.";

// The caption of the run's own boxes: the archive's title, else the stub's name.
void RunCaption(const StubRun* run, char* out, size_t size) {
  const ExtensionRecord& record = run->options.extension;
  if (record.present && record.titleLength > 0) {
    const size_t length = record.titleLength < size ? record.titleLength : size - 1;
    std::memcpy(out, record.title, length);
    out[length] = '\0';
    return;
  }
  std::snprintf(out, size, "%s", " DOLM Self Extractor ");
}

// The file and the system's reason of a fault, in the log.
void LogReason(const StubRun* run, const Fault& fault) {
  if (run->log == nullptr || fault.subject[0] == '\0') return;
  char reason[kPathSize] = "";
  if (fault.systemError != 0) PlatformSystemReason(fault.systemError, reason, sizeof reason);
  char line[sizeof fault.subject + kPathSize + 8];
  std::snprintf(line, sizeof line, "%s%s%s", fault.subject, reason[0] != '\0' ? ": " : "", reason);
  LogMessage(run, line);
}

}  // namespace

int RunExitCode(const StubRun* run, RunEnd end, int programStatus) {
  return Asks(run->options, kBehaveExitCodes) ? ScriptExitCode(end, programStatus) : PlatformExitCode(end, programStatus);
}

bool ShowsNoBox(const StubRun* run) {
  return PlatformMessagesWait() && Asks(run->options, kBehaveExitCodes) &&
         OptionField(run->options.record.optionWord, kPromptUserForOptions) == 0;
}

void LogMessage(const StubRun* run, const char* text) {
  if (run->log == nullptr) return;
  char line[1600];
  // A message longer than the line is cut there.
  size_t n = 0;
  for (const char* p = text; *p != '\0' && n + 2 < sizeof line; ++p) line[n++] = *p == '\n' || *p == '\r' ? ' ' : *p;
  line[n++] = '\r';
  line[n++] = '\n';
  std::fwrite(line, 1, n, run->log);
}

void Say(const StubRun* run, const char* text, const char* caption) {
  LogMessage(run, text);
  if (!ShowsNoBox(run)) PlatformMessageBox(text, caption, kMbOk);
}

RunOutcome UsageOutcome(const StubRun* run, const char* problem, const char* word) {
  RunOutcome outcome = {};
  outcome.exitCode = problem == nullptr ? 0 : ScriptExitCode(kEndWrongCommandLine, 0);
  outcome.show = Showing::kBox;
  outcome.style = kMbOk;
  RunCaption(run, outcome.caption, sizeof outcome.caption);
  char head[kPathSize + 16] = "";
  if (problem != nullptr) std::snprintf(head, sizeof head, "%s%s\n\n", problem, word);
  // The text ends where the box's buffer does.
  std::snprintf(outcome.text, sizeof outcome.text, kUsageText, head);
  if (problem != nullptr) {
    LogMessage(run, head);
    // Asked for, the help shows even in a silent run; a wrong command line does not.
    if (ShowsNoBox(run)) outcome.show = Showing::kNothing;
  }
  return outcome;
}

bool OpenRunLog(StubRun* run, const char* path) {
  if (run->log != nullptr) return true;
  char taken[kPathSize];
  if (!PlatformTakeSystemText(path, taken, sizeof taken)) return false;
  run->log = PlatformOpenFile(taken, "wb");
  return run->log != nullptr;
}

void CloseRunLog(StubRun* run, int exitCode) {
  if (run->log == nullptr) return;
  std::fprintf(run->log, "exit code %d\r\n", exitCode);
  std::fclose(run->log);
  run->log = nullptr;
}

const char* ShortenForDisplay(const char* path, int n, char* out, bool utf8) {
  // The buffer holds 259 characters, so wider limits count as 259; limits
  // below 2 still give the two dots.
  if (n > static_cast<int>(kPathSize) - 1) n = kPathSize - 1;
  if (n < 2) n = 2;
  const size_t length = std::strlen(path);
  if (length <= static_cast<size_t>(n)) return path;
  const char* tail = path + length - static_cast<size_t>(n - 2);
  while (utf8 && (static_cast<unsigned char>(*tail) & 0xC0) == 0x80) ++tail;
  std::snprintf(out, kPathSize, "..%s", tail);
  return out;
}

void FormatErrorText(const Fault& fault, const char* archiveName, char* out, int size, bool utf8) {
  char format[kPathSize] = {};
  const int code = fault.error;
  out[0] = '\0';
  if (code == kStopDamagedRecord || code == kStopNeedsNewer) {
    PlatformLoadString(code == kStopDamagedRecord ? IDS_DAMAGED_RECORD : IDS_NEEDS_NEWER, format, sizeof format);
    std::snprintf(out, static_cast<size_t>(size), format, archiveName);
    return;
  }
  if (code == kStopUnsafeLink) {
    PlatformLoadString(IDS_UNSAFE_LINK, format, sizeof format);
    std::snprintf(out, static_cast<size_t>(size), format, archiveName, fault.subject);
    return;
  }
  if (code == kStopNameNotUtf8 || code == kStopNameNotOnSystem) {
    PlatformLoadString(code == kStopNameNotUtf8 ? IDS_NAME_NOT_UTF8 : IDS_NAMES_NOT_ON_SYSTEM, format, sizeof format);
    std::snprintf(out, static_cast<size_t>(size), format, fault.subject);
    return;
  }
  if (code < 0 || code > kLastErrorNumber) return;
  PlatformLoadString(ErrorStringId(code), format, sizeof format);
  char shortened[kPathSize];
  // A message longer than the buffer is cut there by snprintf.
  switch (code) {
    case kErrorCannotOpen:
      std::snprintf(out, static_cast<size_t>(size), format, ShortenForDisplay(fault.subject, kErrorPathWidth, shortened, utf8));
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
  outcome.exitCode = RunExitCode(run, kEndErrorShown, 0);
  outcome.show = Showing::kNothing;
  if (run->noDialog) {
    // The overwrite dialog could not be created: its question in a box.
    outcome.exitCode = Asks(run->options, kBehaveExitCodes) ? outcome.exitCode : 0;
    outcome.show = Showing::kBox;
    outcome.style = kMbIconQuestion;
    PlatformLoadString(IDS_NEW_FOLDER, outcome.text, kPathSize);
    PlatformLoadString(IDS_ERROR_CAPTION, outcome.caption, sizeof outcome.caption);
    LogMessage(run, outcome.text);
    if (ShowsNoBox(run)) outcome.show = Showing::kNothing;
    return outcome;
  }
  switch (failure.error) {
    case kStopCancelled:
      outcome.exitCode = RunExitCode(run, kEndCancelled, 0);
      return outcome;
    case kStopNoTreePool:
      outcome.exitCode = RunExitCode(run, kEndNoTreePool, 0);
      LogMessage(run, "out of memory for the list of files");
      return outcome;
    case kStopNoTableMemory:
      outcome.show = Showing::kLine;
      std::snprintf(outcome.text, sizeof outcome.text, "%s", run->faults.first.text);
      LogMessage(run, outcome.text);
      return outcome;
    default:
      break;
  }
  // The refusals that only archives with the record meet (a record that
  // cannot be used, a link out of the folder, names the record's rule or the
  // system refuses): such an archive was written to ask for the exit codes of
  // scripts, and each ends the run whatever IgnoreErrors asks, so it is said.
  const bool recordStop = failure.error == kStopDamagedRecord || failure.error == kStopNeedsNewer ||
                          failure.error == kStopUnsafeLink || failure.error == kStopNameNotUtf8 ||
                          failure.error == kStopNameNotOnSystem;
  if (recordStop) outcome.exitCode = ScriptExitCode(kEndErrorShown, 0);
  if (!run->faults.goOn || (recordStop && failure.error != kStopDamagedRecord && failure.error != kStopNeedsNewer)) {
    // The first failure of the run is the one shown.
    const Fault& fault = run->faults.first.error != kNoError ? run->faults.first : Fault{failure.error, 0, -1, {}, {}};
    outcome.show = Showing::kBox;
    outcome.style = kMbOk;
    PlatformLoadString(IDS_ERROR_CAPTION, outcome.caption, sizeof outcome.caption);
    FormatErrorText(fault, run->archive.name, outcome.text, sizeof outcome.text, run->options.extension.utf8Names);
    LogMessage(run, outcome.text);
    LogReason(run, fault);
    if (ShowsNoBox(run)) outcome.show = Showing::kNothing;
  }
  return outcome;
}

int AskOverwrite(void* self, const char* target) {
  StubRun* run = static_cast<StubRun*>(self);
  char shortened[kPathSize];
  std::memset(run->question, 0, sizeof run->question);
  std::snprintf(run->question, sizeof run->question, "%s", ShortenForDisplay(target, kQuestionWidth, shortened, run->options.extension.utf8Names));
  int answer = 'C';
  if (ShowsNoBox(run)) {
    // Nothing may wait for an answer: the user's file stays as it is.
    char line[kPathSize + 64];
    std::snprintf(line, sizeof line, "%s: exists and is kept (/o overwrites)", target);
    LogMessage(run, line);
    return 'N';
  }
  const bool silent = OptionField(run->options.record.optionWord, kPromptUserForOptions) == 0;
  if (!PlatformOverwriteDialog(run->question, silent, &answer)) {
    run->noDialog = true;
    return 'C';
  }
  return answer;
}
