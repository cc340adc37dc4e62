// Start-up and control: the entry and run sequence, the switches and the
// option word, the messages, and the extraction driver. This is the only
// layer that shows a message; the process ends at the two entry points
// alone (StubMain for Windows, main in posix_main.cpp), with the outcome
// that the run returns.
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
  bool noDialog;             // the overwrite dialog could not be created: the run ends
  uint8_t stages;            // of the extraction (OpenBlockSource): 0 as the processors allow
  bool licenceAccepted;      // "/accept" (an archive with the extension record)
  bool folderGiven;          // the command line named the extraction folder
};

// What the command line asks of a run, already parsed by the entry's own
// rules. Invariant: switches is NUL-terminated.
struct RunRequest {
  const char* ownPath;  // the stub's own file
  char switches[260];   // the switch letters in the order given
  const char* folder;   // the folder argument, or null
  const char* argText;  // the Windows entry's argument text, or null
};

// How a run ended: the exit code, and what the entry shows before it ends
// the process with it.
enum class Showing { kNothing, kBox, kLine };
struct RunOutcome {
  int exitCode;
  Showing show;
  unsigned style;           // kBox: the box's style
  char caption[kPathSize];  // kBox: its caption
  char text[520];           // kBox: its text; kLine: the line for standard output
};

// ---- run.cpp: entry and run sequence ---------------------------------------
// The whole run: never ends the process, returns how the run ended.
RunOutcome RunStub(StubRun* run, const RunRequest& request);
// The run's first steps: the own path, the stored options, the request's
// switches and folder, the extraction folder. False when the run ends there,
// with *outcome saying how.
bool StartRun(StubRun* run, const RunRequest& request, RunOutcome* outcome);
// True, with *outcome, when result ends the run: always for the outcomes
// beyond the numbered errors and for decoder memory that cannot be had,
// else unless IgnoreErrors lets the run go on.
bool EndsRun(const StubRun* run, Result result, RunOutcome* outcome);
// Shows what the outcome says: its box, or its line on standard output.
void ShowOutcome(const RunOutcome& outcome);

// ---- own_path.cpp: the start-up texts of the Windows entry -------------------
// Fills run->commandLine (at most 519 characters of commandLine) and
// run->ownPath from the command line and the argument text behind the
// program name: the quoted program name, else the command line without its
// trailing argument text.
void TakeOwnPath(StubRun* run, const char* commandLine, const char* argText);

// ---- switches.cpp: command line and option word -----------------------------
// Splits an argument text into one-letter switches and plain arguments (the
// rules of the Windows entry).
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
// The request of the Windows entry: the switches of argText and its first
// argument, whose text the parser keeps (destroy it after the run).
void ReadArgumentText(const char* argText, const char* ownPath, CommandLineParser* parser, RunRequest* request);
// Applies the request's switches to the option word and its folder to the
// temporary folder; *report is set when the options report was asked for
// ('a'). Error 0 for a folder argument too long for its buffer. With the
// extension record, "/accept" in the argument text sets licenceAccepted.
Result ApplySwitches(StubRun* run, const RunRequest& request, bool* report);
// The options report ('a'): a box, and the run ends with exit code 0.
RunOutcome OptionsReport(const StubRun* run);

// ---- posix_args.cpp: the Linux command line ------------------------------------
enum class PosixCommand { kRun, kHelp, kVersion, kList, kCheck, kUsageError };
struct PosixArguments {
  PosixCommand command;
  RunRequest request;  // kRun: the switches and the folder (ownPath is the entry's)
  const char* problem; // kUsageError: what is wrong, worded to be followed by detail
  const char* detail;  // kUsageError: the argument concerned
  char letter[3];      // "-x": the detail for an unknown switch letter
};
// Reads argv as Linux users write it: switch letters grouped as getopt
// groups them, "--" ending the switches, --help, --version, --list and
// --check (whichever comes first decides), at most one folder. Any other
// argument is the folder, one that starts with '/' too. A letter given again
// moves to the end, since only its last place can change what the switches
// do: any number of letters fits the request.
void ParsePosixArguments(int argc, const char* const* argv, PosixArguments* parsed);

// ---- messages.cpp: errors and the overwrite question ---------------------------
// The text of a numbered error as its box shows it ("Error #2\n...").
void FormatErrorText(const Fault& fault, const char* archiveName, char* out, int size);
// How the run ends after a failure that the run sequence does not go on
// after: the error box (unless IgnoreErrors) and the code that belongs to it.
RunOutcome FailureOutcome(const StubRun* run, Result failure);
// The "Overwrite file" question for the disk output (self: the StubRun).
// When the dialog cannot be created, run->noDialog is set and the answer is
// Cancel; the run then ends with a box and exit code 0.
int AskOverwrite(void* self, const char* target);
// path itself when it has at most n characters, else ".." and its last n - 2
// characters (in out, kPathSize bytes).
const char* ShortenForDisplay(const char* path, int n, char* out);

// ---- driver.cpp: extraction driver ------------------------------------------
// Opens the stub's own file a second time, checks the archive header, loads
// the profile, reads the solid header and expands every file into sink (the
// run's disk output, or the fuzz target's output in memory).
Result ExtractArchive(StubRun* run, OutputSink sink);
// The stages of an extraction from the text of DOLM_STAGES, which the Linux
// stub and dolm read: "1" or "2", else 0 (as the processors allow).
uint8_t StagesFromSetting(const char* text);

// ---- windows_ui.cpp: the windows of an archive with the extension record ---------
// Before anything is written: the licence (accepted in its window or by
// "/accept"; a silent run without "/accept" declines without a window), then
// the "Extract to" window when the run asks for options and no folder was
// given. False when the run ends there (declined, cancelled: exit code 1).
// Nothing where the platform has no windows.
bool AskBeforeWriting(StubRun* run, RunOutcome* outcome);
// The progress window's output: every call goes on to the inner output
// after the window has shown the file and the percent, until its Cancel.
// Invariants: opened counts the bytes of the files opened so far, done those
// of the files before the open one and what it got; window is null when the
// window is not shown, and then the inner output is used as it is.
struct ProgressOutput {
  OutputSink inner;
  PlatformProgress* window;
  const FileTable* files;
  Faults* faults;
  uint64_t total;   // bytes of every stored file, counted at the first open
  uint64_t opened;
  uint64_t done;
  const char* name;
  bool cancelled;
};
// The output that the extraction writes through: the progress window's
// when the record asks for progress and the run is not silent, else inner.
OutputSink StartProgress(StubRun* run, ProgressOutput* progress, OutputSink inner);
// Closes the window. After its Cancel the files the run wrote are removed
// and the result is kStopCancelled; else it is result.
Result EndProgress(StubRun* run, ProgressOutput* progress, Result result);

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
