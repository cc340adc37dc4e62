// Start-up and control: entry, switches and option word, messages, the
// extraction driver.
#pragma once

#include <cstdint>

// ---- run.cpp: entry and run sequence ---------------------------------------
struct StartupState {
  char commandLine[520];  // whole process command line, copied once
  char ownPath[520];      // the stub's own file, taken from the command line
  char tempFolder[260];   // extraction target; stored text, argument or default
};
extern StartupState gStartup;

void RunStub();

// ---- own_path.cpp: the start-up texts ----------------------------------------
// Fills gStartup.commandLine (at most 519 characters of commandLine) and
// gStartup.ownPath from the command line and the argument text behind the
// program name: the quoted program name, else the command line without its
// trailing argument text.
void TakeOwnPath(const char* commandLine, const char* argText);

// ---- switches.cpp: command line and option word -----------------------------
// Splits an argument text into one-letter switches and plain arguments.
struct CommandLineParser {
  char switches[260];     // letters in order, ends at the first zero
  char* arguments[260];   // owned texts, ends at the first null entry
  uint32_t switchPos;
  uint32_t argumentPos;
};
void BuildCommandLineParser(CommandLineParser* parser, const char* argText);
void DestroyCommandLineParser(CommandLineParser* parser);
char NextSwitch(CommandLineParser* parser);
const char* NextArgument(CommandLineParser* parser);
// Applies the switches to the option word and the first argument to the
// temporary folder; shows the options report and ends the process for 'a'.
void ApplySwitches(const char* argText);

// ---- messages.cpp: errors, status sink, overwrite question -------------------
void ReportError(int16_t code, const char* text);
void FatalMessage(const char* caption, const char* text);
void StatusText(const char* text);
void StatusLine(const char* t1, const char* t2, const char* t3, const char* t4, int number);
int AskOverwrite(const char* text);  // returns 'Y', 'N', 'A' or 'C'
const char* ShortenForDisplay(const char* path, int n);
uint32_t PerMille(uint32_t done, uint32_t total);
// The first error reported in this run (-1 when none), kept so that callers
// that run with IgnoreErrors (the dolm tool) can tell what went wrong.
int16_t FirstReportedError();
const char* FirstReportedMessage();  // its formatted text, "" when none
// Report-only mode, for the inspecting tool: ReportError records the error and
// returns as if IgnoreErrors were set, and never shows a box or ends the process.
void SetReportOnly(int on);

// ---- driver.cpp: extraction driver ------------------------------------------
void ExtractArchive(const char* path);
void ExtractFiles();
