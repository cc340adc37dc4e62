// Messages, prompts and the status sink: numbered error boxes that end the
// process, the "Overwrite file" question, and the entries through which status
// and progress texts reach a sink that drops them.
#include <cstdio>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "platform/platform.h"
#include "resources/resource.h"
#include "startup/startup.h"

namespace {

constexpr int16_t kLastErrorCode = 22;
constexpr int kTextSize = 260;
constexpr int kMessageSize = 520;
constexpr int kStatusLineSize = 1300;
constexpr int kErrorPathWidth = 60;  // code 0 shows the path shortened to this

// Module state. Invariants: overwriteAnswer is 'Y', 'N', 'A' or 'C' once
// AskOverwrite has run (0 before); dialogText, shortened and firstMessage are
// always NUL-terminated; firstError is -1 until the first ReportError with a
// code of 0 to 22, and firstMessage is "" exactly while firstError is -1.
struct MessageState {
  int overwriteAnswer;           // the last answer of the overwrite question
  char dialogText[kTextSize];    // question shown by the overwrite dialog
  char shortened[kTextSize];     // result of ShortenForDisplay, overwritten by each call
  int16_t firstError;            // first error code reported in this run
  char firstMessage[kMessageSize];
  int reportOnly;                // set: errors are recorded, never shown
};
MessageState gMessages = {0, {}, {}, -1, {}, 0};

// Status sink: every status and progress text ends here and is dropped.
void DiscardStatus(const char* text, int number) {
  (void)text;
  (void)number;
}

// String number of error `code` (0 to 22): 12 + 2N up to 8, then 20 + N.
unsigned ErrorStringId(int16_t code) {
  return code <= 8 ? IDS_FIRST_ERROR + 2u * static_cast<unsigned>(code)
                   : 20u + static_cast<unsigned>(code);
}

void CopyText(char* out, int size, const char* text) {
  std::snprintf(out, static_cast<size_t>(size), "%s", text ? text : "");
}

int IgnoreErrorsSet() { return OptionField(OptionWord(), kIgnoreErrors) != 0; }

}  // namespace

void ReportError(int16_t code, const char* text) {
  if (code < 0 || code > kLastErrorCode) return;

  char format[kTextSize] = {};
  char caption[kTextSize] = {};
  char message[kMessageSize] = {};
  if (code != 21) PlatformLoadString(ErrorStringId(code), format, sizeof format);
  PlatformLoadString(IDS_ERROR_CAPTION, caption, sizeof caption);

  // A message longer than 519 characters is cut at 519 by snprintf; only a
  // caller's ready code-21 text can get there (the other texts are far shorter).
  switch (code) {
    case 0:
      std::snprintf(message, sizeof message, format,
                    ShortenForDisplay(text ? text : "", kErrorPathWidth));
      break;
    case 1:
    case 2:
    case 11:
    case 15:
      std::snprintf(message, sizeof message, format, gContainer.archiveName);
      break;
    case 21:
      CopyText(message, sizeof message, text);
      break;
    default:
      CopyText(message, sizeof message, format);
      break;
  }

  if (gMessages.firstError < 0) {
    gMessages.firstError = code;
    CopyText(gMessages.firstMessage, sizeof gMessages.firstMessage, message);
  }
  if (gMessages.reportOnly) return;
  FatalMessage(caption, message);
}

void FatalMessage(const char* caption, const char* text) {
  if (gMessages.reportOnly || IgnoreErrorsSet()) return;
  PlatformMessageBox(text, caption, kMbOk);
  PlatformExitProcess(0);
}

void StatusText(const char* text) { DiscardStatus(text, -1); }

void StatusLine(const char* t1, const char* t2, const char* t3, const char* t4, int number) {
  char line[kStatusLineSize];
  std::snprintf(line, sizeof line, "%s %s %s %s\n", t1 ? t1 : "", t2 ? t2 : "", t3 ? t3 : "",
                t4 ? t4 : "");
  DiscardStatus(line, number);
}

int AskOverwrite(const char* text) {
  gMessages.overwriteAnswer = 'C';
  std::memset(gMessages.dialogText, 0, sizeof gMessages.dialogText);
  CopyText(gMessages.dialogText, sizeof gMessages.dialogText, text);

  const int silent = OptionField(OptionWord(), kPromptUserForOptions) == 0;
  if (PlatformOverwriteDialog(gMessages.dialogText, silent, &gMessages.overwriteAnswer) == -1) {
    char question[kTextSize] = {};
    char caption[kTextSize] = {};
    PlatformLoadString(IDS_NEW_FOLDER, question, sizeof question);
    PlatformLoadString(IDS_ERROR_CAPTION, caption, sizeof caption);
    PlatformMessageBox(question, caption, kMbIconQuestion);
    PlatformExitProcess(0);
  }
  return gMessages.overwriteAnswer;
}

const char* ShortenForDisplay(const char* path, int n) {
  // The buffer holds 259 characters, so wider limits count as 259; limits
  // below 2 still give the two dots.
  if (n > kTextSize - 1) n = kTextSize - 1;
  if (n < 2) n = 2;
  const size_t length = std::strlen(path);
  if (length <= static_cast<size_t>(n)) return path;
  std::snprintf(gMessages.shortened, sizeof gMessages.shortened, "..%s",
                path + length - static_cast<size_t>(n - 2));
  return gMessages.shortened;
}

uint32_t PerMille(uint32_t done, uint32_t total) {
  if (done > 1000000u) {
    done /= 1000u;
    total /= 1000u;
  }
  if (total == 0) total = 1;
  return done * 1000u / total;
}

int16_t FirstReportedError() { return gMessages.firstError; }

const char* FirstReportedMessage() { return gMessages.firstMessage; }

void SetReportOnly(int on) { gMessages.reportOnly = on != 0; }
