// Start-up and control: the entry and run sequence, the switches and the
// option word, the messages, and the extraction driver. This is the only
// layer that shows a message or ends the process.
#pragma once

#include <cstdint>

#include "container/container.h"
#include "engine/engine.h"
#include "output/output.h"
#include "platform/platform.h"

// One run of the stub: everything the run sequence hands to the layers below.
// Invariants: the texts are NUL-terminated within their buffers;
// commandLine and ownPath hold at most 519 characters, tempFolder at most 259.
struct StubRun {
  char commandLine[520];  // whole process command line, copied once
  char ownPath[520];      // the stub's own file, taken from the command line
  char tempFolder[kPathSize];  // extraction target; stored text, argument or default
  bool ownFolder;              // tempFolder was made for this run (POSIX)
  ArchiveFile archive;
  StoredOptions options;  // options.record.optionWord is the option word
  Faults faults;
  Engine engine;
  FileTable files;
  DiskOutput output;
  Expansion expansion;
  char question[kPathSize];  // the text of the overwrite question
};

// ---- run.cpp: entry and run sequence ---------------------------------------
// The whole run; returns the exit code (or ends the process for an error).
int RunStub(StubRun* run, const char* argText);

// ---- own_path.cpp: the start-up texts ----------------------------------------
// Fills run->commandLine (at most 519 characters of commandLine) and
// run->ownPath from the command line and the argument text behind the
// program name: the quoted program name, else the command line without its
// trailing argument text.
void TakeOwnPath(StubRun* run, const char* commandLine, const char* argText);

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
// temporary folder; *report is set when the options report was asked for
// ('a'). Error 0 for a folder argument too long for its buffer.
Result ApplySwitches(StubRun* run, const char* argText, bool* report);
[[noreturn]] void ShowOptionsReport(const StubRun* run);

// ---- messages.cpp: errors and the overwrite question ---------------------------
// The text of a numbered error as its box shows it ("Error #2\n...").
void FormatErrorText(const Fault& fault, const char* archiveName, char* out, int size);
// Ends the run for a failure that the run sequence does not go on after:
// shows the error box (unless IgnoreErrors) and exits with the code that
// belongs to it.
[[noreturn]] void EndRun(const StubRun* run, Result failure);
// The "Overwrite file" question for the disk output (self: the StubRun).
int AskOverwrite(void* self, const char* target);
// path itself when it has at most n characters, else ".." and its last n - 2
// characters (in out, kPathSize bytes).
const char* ShortenForDisplay(const char* path, int n, char* out);

// ---- driver.cpp: extraction driver ------------------------------------------
// Opens the stub's own file a second time, checks the archive header, loads
// the profile, reads the solid header and expands every file.
Result ExtractArchive(StubRun* run);

// ---- examine.cpp: reading an archive without running it ------------------------
// An output that writes nothing.
OutputSink NullSink();
// Opens path and reads everything up to the first data block (option block,
// archive header, solid header into run->files), stopping at the first
// failure; with load set the decoder memory is reserved for the expansion.
Result OpenForInspection(StubRun* run, const char* path, bool load);
// Expands every block into sink; the data must then have filled every file
// exactly (error 9 when it ends early, 16 when it holds more).
Result ExpandInto(StubRun* run, OutputSink sink);
// Closes the archive and releases what the run reserved.
void EndInspection(StubRun* run);
