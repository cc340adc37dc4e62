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

// What the command line asks of a run, already parsed by the entry's own
// rules. Invariant: switches is NUL-terminated.
struct RunRequest {
  const char* ownPath;  // the stub's own file
  char switches[260];   // the switch letters in the order given
  const char* folder;   // the folder argument, or null
  const char* argText;      // Windows: the argument text, read again by the typed rules when the archive asks; else null
  const char* programArgs;  // what follows "--", for the program after the stored arguments, or null
  const char* logPath;      // /log FILE: every message also goes to FILE, or null
  bool accept;              // /accept: the licence counts as accepted
  bool noExec;              // extract only: the program is not started
};

// The command line read by the typed switch rules (an archive with the
// extension record asks for them). Invariant: the request's texts point into
// words or into the argument text.
enum class TypedReading { kRun, kUsage, kUsageError };
struct TypedSwitches {
  TypedReading reading;
  RunRequest request;
  const char* problem;  // kUsageError: what is wrong, to be followed by word
  const char* word;     // kUsageError: the word concerned
  char words[1024];     // the words of the argument text, each NUL-terminated
};

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
  TypedSwitches typed;       // the command line by the typed rules, when the archive asks for them
  FILE* log;                 // /log FILE, open while the run lasts, or null
  DiskProgress progress;     // set by the entry: who the disk output tells how it gets on
  bool licenceAccepted;      // "/accept" (an archive with the extension record)
  bool folderGiven;          // the command line named the extraction folder
};

// How a run ended: the exit code, and what the entry shows before it ends
// the process with it.
enum class Showing { kNothing, kBox, kLine };
struct RunOutcome {
  int exitCode;
  Showing show;
  unsigned style;           // kBox: the box's style
  char caption[kPathSize];  // kBox: its caption
  char text[1536];          // kBox: its text; kLine: the line for standard output
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
// Reads argText by the typed rules into *typed: one-letter switches that
// may be grouped ("/ok" is o and k, '-' as '/'), /? -h --help, /log FILE
// (also /log=FILE), /accept, at most one folder, and "--", after which the
// rest of the text goes to the program as it was typed. A quoted word is
// never a switch.
void ReadTypedSwitches(const char* argText, TypedSwitches* typed);
// The request that the run follows: request itself, or, when the archive
// asks for the typed rules and request has an argument text, that text read
// by them (run->typed). False, with *outcome, when the run ends there (the
// usage box: exit 0 when asked for, 2 for a wrong command line).
bool ChooseRequest(StubRun* run, const RunRequest& request, const RunRequest** chosen, RunOutcome* outcome);
// What the typed rules add once the switches are applied: the log opened and
// the program's arguments after the stored ones. False, with *outcome, when
// the run ends there (exit 2).
bool TakeTypedExtras(StubRun* run, const RunRequest& request, RunOutcome* outcome);
// The stored folder with its environment variables expanded, when the
// archive asks for it (error 0 naming the stored text when it does not fit).
Result ExpandStoredFolder(StubRun* run);

// ---- posix_args.cpp: the Linux command line ------------------------------------
enum class PosixCommand { kRun, kHelp, kVersion, kList, kCheck, kUsageError };
struct PosixArguments {
  PosixCommand command;
  RunRequest request;  // kRun: the switches and the folder (ownPath is the entry's)
  const char* problem; // kUsageError: what is wrong, worded to be followed by detail
  const char* detail;  // kUsageError: the argument concerned
  char letter[3];      // "-x": the detail for an unknown switch letter
  bool accept;         // --accept: the archive's licence is accepted unseen
  char programText[520];  // request.programArgs points here when there are any
};
// Reads argv as Linux users write it: switch letters grouped as getopt
// groups them, "--" ending the switches, --help, --version, --list and
// --check (whichever comes first decides), --noexec and --accept, at most one
// folder. Any other argument is the folder, one that starts with '/' too. A
// letter given again moves to the end, since only its last place can change
// what the switches do: any number of letters fits the request. With
// toProgram (an archive that asks for it), the arguments after "--" are the
// program's, quoted by the Windows rules into programText.
void ParsePosixArguments(int argc, const char* const* argv, PosixArguments* parsed, bool toProgram = false);

// ---- messages.cpp: errors and the overwrite question ---------------------------
// The text of a numbered error as its box shows it ("Error #2\n..."); with
// utf8, a path it shortens is cut between characters of UTF-8.
void FormatErrorText(const Fault& fault, const char* archiveName, char* out, int size, bool utf8 = false);
// How the run ends after a failure that the run sequence does not go on
// after: the error box (unless IgnoreErrors) and the code that belongs to it.
RunOutcome FailureOutcome(const StubRun* run, Result failure);
// The exit code of a run that ended so: the platform's own, or the codes
// that scripts can use when the archive asks for them.
int RunExitCode(const StubRun* run, RunEnd end, int programStatus);
// True when the run shows no message box: messages are windows that wait,
// the archive asks for scripts' exit codes, and the run is silent.
bool ShowsNoBox(const StubRun* run);
// One message in the run's log (when there is one), on one line.
void LogMessage(const StubRun* run, const char* text);
// A message box that the run shows unless ShowsNoBox; logged either way.
void Say(const StubRun* run, const char* text, const char* caption);
// The usage box: the help (problem null, exit 0), or a wrong command line
// ("<problem><word>", exit 2), without a box when ShowsNoBox.
RunOutcome UsageOutcome(const StubRun* run, const char* problem, const char* word);
// Opens the log of /log (run->log); false when it cannot be written.
bool OpenRunLog(StubRun* run, const char* path);
// Ends the log with the run's exit code and closes it.
void CloseRunLog(StubRun* run, int exitCode);
// The "Overwrite file" question for the disk output (self: the StubRun).
// When the dialog cannot be created, run->noDialog is set and the answer is
// Cancel; the run then ends with a box and exit code 0. A run that shows no
// box asks nothing: the existing file is kept.
int AskOverwrite(void* self, const char* target);
// path itself when it has at most n characters, else ".." and its last n - 2
// characters (in out, kPathSize bytes); with utf8 (a run whose names are
// UTF-8), the bytes of a character cut at the start are left out too.
const char* ShortenForDisplay(const char* path, int n, char* out, bool utf8 = false);

// ---- driver.cpp: extraction driver ------------------------------------------
// Opens the stub's own file a second time, checks the archive header, loads
// the profile, reads the solid header and expands every file into sink (the
// run's disk output, or the fuzz target's output in memory).
Result ExtractArchive(StubRun* run, OutputSink sink);
// What ExtractArchive does first for an archive that asks for it
// (kBehaveCheckFirst): with the archive just past its solid header, expands
// every block into nothing (ExpandInto: every block's CRC, the data filling
// the file table exactly), then goes back to the first block. An archive
// with Unix entries is expanded into LinkCheckSink instead, so that a link
// that would lead out of the extraction folder is refused before anything
// is written; `sink` says where the check's bytes go instead (dolm extract).
Result CheckBeforeWriting(StubRun* run);
Result CheckBeforeWriting(StubRun* run, OutputSink sink);
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
