// Entry of the Linux stub: the command line read the way Linux users write
// it (switch letters grouped as getopt groups them, --help, --version,
// --list, --check) into the run's request; the run, and what it ends with.
// The process ends when main returns.
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "format/format.h"
#include "platform/platform_posix.h"
#include "startup/startup.h"

#ifndef DOLM_VERSION
#define DOLM_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: %s [-adikopqrs] [--noexec] [--accept] [FOLDER]\n"
    "       %s [SWITCHES] [FOLDER] -- PROGRAM-ARGUMENTS...\n"
    "       %s --list | --check | --help | --version\n"
    "\n"
    "A self-extracting archive: extracts its files into FOLDER (default: the\n"
    "folder stored in it, else a new private folder below $TMPDIR or /tmp),\n"
    "starts the program stored with them, waits for it and, when asked, removes\n"
    "what it extracted. Switches override the stored options; letters may be\n"
    "grouped (-os is -o -s).\n"
    "\n"
    "  -o          overwrite existing files without asking\n"
    "  -k          give the files their stored times and attributes\n"
    "  -r          recreate the stored folders\n"
    "  -d          remove the extracted files when the program has ended\n"
    "  -p          ask before overwriting (not silent)\n"
    "  -s, -q      silent\n"
    "  -i          show no error messages and go on after errors\n"
    "  -a          show the stored options and end\n"
    "  --noexec    extract only: start nothing, remove nothing\n"
    "  --accept    accept the archive's licence without showing it (unattended\n"
    "              runs; without it the licence is shown and asked for on the\n"
    "              terminal, and declined when there is none)\n"
    "  --          what follows goes to the program, after its stored arguments\n"
    "              (archives made by dolm pack without --classic; else the one\n"
    "              argument after it is the FOLDER, which may then begin with -)\n"
    "  --list      show the stored options and files, extracting nothing\n"
    "  --check     read and check the whole archive, writing nothing\n"
    "  -h, --help  show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 all was extracted and the program (if any) exited 0; the\n"
    "program's own status when it exited non-zero (128 + N after signal N);\n"
    "1 Cancel at the overwrite question, or the licence declined; 2 wrong\n"
    "command line; 3 no memory for the list of files; 4 an error message was\n"
    "shown (--check: the archive is damaged; an archive made by dolm pack is\n"
    "checked whole first and then writes nothing); 126 the program could not\n"
    "be started; 127 it was not extracted (--noexec: 0 when all was extracted).\n"
    "On a terminal, an archive made by dolm pack shows a progress line unless\n"
    "-s or -q is given.\n"
    "\n"
    "'dolm list', 'dolm test' and 'dolm extract' inspect this file without\n"
    "running anything.\n";

int UsageError(const char* program, const char* what, const char* detail) {
  std::fprintf(stderr, "%s: %s%s\nTry '%s --help'.\n", program, what, detail, program);
  return 2;
}

// The stub's own file: the kernel's link, else the name it was started by.
void OwnPath(const char* argv0, char* out, size_t size) {
  ssize_t n = readlink("/proc/self/exe", out, size - 1);
  if (n > 0) {
    out[n] = '\0';
    return;
  }
  std::snprintf(out, size, "%s", argv0);
}

// A stored text on standard output with every control byte as \xNN.
void PutEscaped(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < 0x20 || *p == 0x7F) std::printf("\\x%02x", *p);
    else std::putchar(*p);
  }
}

void PrintOptionLine(const char* label, const char* text) {
  std::printf("%-20s", label);
  PutEscaped(text);
  std::putchar('\n');
}

void PrintOptions(const StubRun* run) {
  const uint32_t word = run->options.record.optionWord;
  PrintOptionLine("Execute file:", run->options.execFile[0] ? run->options.execFile : "(none)");
  PrintOptionLine("Execute arguments:", run->options.execArgs);
  PrintOptionLine("Temporary folder:",
                  run->options.tempFolder[0] ? run->options.tempFolder : "(none: a private folder below $TMPDIR)");
  std::printf("Option word:        0x%08X\n", static_cast<unsigned>(word));
  uint64_t total = 0;
  for (uint32_t i = 0; i < run->files.count; ++i) total += run->files.records[i].size;
  std::printf("Files:              %u, %llu bytes\n\n", run->files.count, static_cast<unsigned long long>(total));
}

// One file line in the columns of 'dolm list', control bytes escaped.
void PrintFileLine(const FileRecord& record) {
  char when[32];
  const time_t seconds = static_cast<time_t>(record.time);
  struct tm parts;
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&seconds, &parts));
  char attributes[5] = "----";
  if (record.attributes & kAttrReadOnly) attributes[0] = 'R';
  if (record.attributes & kAttrHidden) attributes[1] = 'H';
  if (record.attributes & kAttrSystem) attributes[2] = 'S';
  if (record.attributes & kAttrArchive) attributes[3] = 'A';
  std::printf("%12u  %-20s  %-4s  ", record.size, when, attributes);
  PutEscaped(record.name);
  std::putchar('\n');
}

// --list and --check: the archive read with the run's own procedures.
int Inspect(const char* argv0, bool check) {
  static StubRun run;
  char own[PATH_MAX];
  OwnPath(argv0, own, sizeof own);
  run.stages = StagesFromSetting(std::getenv("DOLM_STAGES"));
  Result result = OpenForInspection(&run, own, check);
  if (result.ok() && check) result = ExpandInto(&run, NullSink());
  if (!result.ok()) {
    char text[520];
    FormatErrorText(run.faults.first, own, text, sizeof text);
    PlatformMessageBox(text[0] ? text : "the archive cannot be read", " DOLM Self Extractor Error ", kMbOk);
    EndInspection(&run);
    return PlatformExitCode(kEndErrorShown, 0);
  }
  if (check) {
    std::printf("%s: the archive is whole: %u files, %llu bytes\n", own, run.files.count,
                static_cast<unsigned long long>(run.expansion.produced));
  } else {
    PrintOptions(&run);
    std::printf("%12s  %-20s  %-4s  %s\n", "Size", "Modified (UTC)", "Attr", "Name");
    for (uint32_t i = 0; i < run.files.count; ++i) PrintFileLine(run.files.records[i]);
  }
  EndInspection(&run);
  return 0;
}

// The stub's own file for the run: argv[0] when it names a path, else the
// kernel's link (a program started through PATH has a bare name in argv[0]).
void RunOwnPath(const char* argv0, char* out, size_t size) {
  if (std::strchr(argv0, '/') != nullptr) std::snprintf(out, size, "%s", argv0);
  else OwnPath(argv0, out, size);
}

const char kErrorCaption[] = " DOLM Self Extractor Error ";

// The folders that the names open: each backslash of a name at which it
// differs from the name before. Exact for a table in folder order; a table
// that returns to a folder counts it again, which errs on the side of room.
uint64_t CountNewFolders(const FileTable& files) {
  uint64_t folders = 0;
  const char* previous = "";
  for (uint32_t i = 0; i < files.count; ++i) {
    const char* name = files.records[i].name;
    size_t same = 0;
    while (name[same] != '\0' && name[same] == previous[same]) ++same;
    while (same > 0 && name[same - 1] != '\\') --same;  // back to the start of a component
    for (const char* p = name + same; *p; ++p) folders += *p == '\\' && p[1] != '\0' && p != name;
    previous = name;
  }
  return folders;
}

// Refuses an archive whose files do not fit in the folder's file system
// (their declared bytes and a block for each, and an entry for each file and,
// when folders are made, each folder): the exit code, or -1.
int CheckFreeSpace(const FileTable& files, bool folders, const char* host, const char* shown) {
  uint64_t free = 0, entries = 0, block = 0;
  if (!PosixFreeSpace(host, &free, &entries, &block)) return -1;
  uint64_t needed = 0;
  for (uint32_t i = 0; i < files.count; ++i) needed += files.records[i].size + block;
  const uint64_t made = folders ? CountNewFolders(files) : 0, wanted = files.count + made;
  needed += made * block;
  char text[PATH_MAX + 200];
  if (wanted > entries)
    std::snprintf(text, sizeof text, "%s: room for only %llu more files and folders, %llu needed", shown,
                  static_cast<unsigned long long>(entries), static_cast<unsigned long long>(wanted));
  else if (needed > free)
    std::snprintf(text, sizeof text, "%s: not enough free space: %llu bytes needed, %llu bytes free", shown,
                  static_cast<unsigned long long>(needed), static_cast<unsigned long long>(free));
  else
    return -1;
  PlatformMessageBox(text, kErrorCaption, kMbOk);
  return PlatformExitCode(kEndErrorShown, 0);
}

// The folder made ready before the run: one that other users may write gets
// a private folder of this run inside it (its stub-form path in made, and
// request->folder points there), and an archive that does not fit is
// refused before anything is written (unless errors are passed over).
// probe: the archive as read before the run (opened: it could be read).
// Returns the exit code when the run ends here, else -1. (-a, an archive that
// cannot be read and a folder refused go to the run, which tells why.)
int PrepareFolder(StubRun* probe, bool opened, RunRequest* request, char* made, size_t size) {
  made[0] = '\0';
  int exitCode = -1;
  bool report = false;
  if (opened && ApplySwitches(probe, *request, &report).ok() && !report) {
    const char* folder = probe->tempFolder;
    char host[PATH_MAX];
    if (folder[0] == '\0') {
      // The run makes its private folder in the system's temporary folder.
      if (PlatformTempPath(host, sizeof host) == 0) std::snprintf(host, sizeof host, "/tmp/");
      folder = host;
    } else if (PosixHostPath(folder, host, sizeof host)) {
      const int shared = PosixPrivateFolderIfShared(host, made, size);
      char notice[PATH_MAX + kPathSize + 100];
      std::snprintf(notice, sizeof notice, shared > 0 ? "%s: other users may write this folder: extracting into %s"
                                                      : "%s: other users may write this folder, and no private folder can be made in it%s",
                    folder, made);
      if (shared != 0) PlatformNotice(notice);
      if (shared < 0) exitCode = PlatformExitCode(kEndErrorShown, 0);
      if (shared > 0) {
        PosixGuardRunFolder(made);
        std::snprintf(host, sizeof host, "%s", made);
        request->folder = made;
      }
    }
    if (exitCode < 0 && OptionField(probe->options.record.optionWord, kIgnoreErrors) == 0)
      exitCode = CheckFreeSpace(probe->files, OptionField(probe->options.record.optionWord, kRecreateOriginalFolders) != 0,
                                host, folder);
    if (exitCode >= 0 && made[0] != '\0') PlatformRemoveFolder(made);
  }
  return exitCode;
}

// One byte of a stored text for the terminal: control bytes but line breaks
// and tabs as \xNN, so that no stored text steers the terminal.
void PutForTerminal(unsigned char c) {
  if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) std::fprintf(stderr, "\\x%02x", c);
  else std::fputc(c, stderr);
}

// Reads one answer line; false at the end of input. A line longer than the
// buffer is read to its end and answers nothing.
bool ReadAnswer(char* line, size_t size) {
  if (!std::fgets(line, static_cast<int>(size), stdin)) return false;
  const size_t n = std::strlen(line);
  for (int c; n > 0 && line[n - 1] != '\n' && (c = std::fgetc(stdin)) != EOF && c != '\n';) line[0] = '\0';
  line[std::strcspn(line, " \t\r\n")] = '\0';
  return true;
}

// The archive's licence before anything is written: shown on the terminal
// and accepted with y; n, the end of input or no terminal to ask on declines.
// --accept accepts it unseen (unattended runs), and the options report (-a)
// writes nothing. Returns the exit code when the run ends here, else -1.
int AskLicence(const ExtensionRecord& record, const PosixArguments& parsed, const char* program) {
  if (!record.present || record.licenceLength == 0 || parsed.accept ||
      std::strpbrk(parsed.request.switches, "aA") != nullptr)
    return -1;
  const int declined = PlatformExitCode(kEndCancelled, 0);
  if (!isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "%s: the licence of this archive must be accepted first, and standard input is no "
                         "terminal to ask on: nothing was extracted (--accept accepts it)\n", program);
    return declined;
  }
  for (uint32_t i = 0; i < record.licenceLength; ++i) {
    const uint8_t c = record.licence[i];
    if (c != '\r' || i + 1 == record.licenceLength || record.licence[i + 1] != '\n') PutForTerminal(c);
  }
  std::fputc('\n', stderr);
  for (char line[64];;) {
    std::fputs("Do you accept the licence? [y/n] ", stderr);
    std::fflush(stderr);
    if (!ReadAnswer(line, sizeof line)) break;
    if (strcasecmp(line, "y") == 0 || strcasecmp(line, "yes") == 0) return -1;
    if (strcasecmp(line, "n") == 0 || strcasecmp(line, "no") == 0) break;
  }
  std::fprintf(stderr, "\n%s: the licence was declined: nothing was extracted\n", program);
  return declined;
}

// The progress line on a terminal: the overall percent and the file being
// written, redrawn when either changes, and cleared at the end.
struct TerminalProgress {
  const FileTable* files;
  uint64_t total;
  uint64_t done;
  int shown;     // the percent drawn last, -1 for none
  char name[48];
  bool counted;  // total holds the table's bytes
  bool utf8;     // the names are UTF-8: shortened between characters
};

bool DrawProgress(void* self, const FileRecord* opened, uint32_t written) {
  TerminalProgress* p = static_cast<TerminalProgress*>(self);
  if (opened == nullptr && written == 0) {
    if (p->shown >= 0) std::fputs("\r\033[K", stderr);
    p->shown = -1;
    return true;
  }
  if (opened != nullptr && !p->counted) {
    for (uint32_t i = 0; i < p->files->count; ++i) p->total += p->files->records[i].size;
    p->counted = true;
  }
  if (opened != nullptr) {
    char shortened[kPathSize];
    std::snprintf(p->name, sizeof p->name, "%s", ShortenForDisplay(opened->name, sizeof p->name - 1, shortened, p->utf8));
    for (char* c = p->name; *c; ++c)
      if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '?';
      else if (*c == '\\') *c = '/';
  }
  p->done += written;
  const int percent = p->total == 0 ? 100 : static_cast<int>(p->done * 100 / p->total);
  if (opened == nullptr && percent == p->shown) return true;
  p->shown = percent;
  std::fprintf(stderr, "\r\033[Kextracting %3d%% %s", percent, p->name);
  std::fflush(stderr);
  return true;
}

// Whether the switches typed ask for a silent run (-s, -q).
bool TypedSilent(const RunRequest& request) { return std::strpbrk(request.switches, "sSqQ") != nullptr; }

// A write that failed: the file and the system's reason, after the error box.
void TellWriteFailure(const RunOutcome& outcome, const Fault& fault) {
  if (outcome.show != Showing::kBox || fault.error != kErrorWriteFailed || fault.systemError == 0) return;
  char notice[sizeof fault.subject + 120];
  std::snprintf(notice, sizeof notice, "%s: cannot be written: %s", fault.subject, std::strerror(fault.systemError));
  PlatformNotice(notice);
}

// What comes before the run, nothing written until the last step: the
// licence, the arguments for the program, the progress line, the stop
// signals' guard and the folder (PrepareFolder). probe: the archive as read
// before the run (opened: it could be read). Returns the exit code when the
// run ends here, else -1.
int PrepareRun(StubRun* probe, bool opened, PosixArguments* parsed, StubRun* run, char* privateFolder,
               const char* program) {
  const StoredOptions& options = probe->options;
  if (opened) {
    const int declined = AskLicence(options.extension, *parsed, program);
    if (declined >= 0) return declined;
  }
  static TerminalProgress progress;
  const bool showProgress =
      opened && Asks(options, kBehaveProgress) && isatty(STDERR_FILENO) && !TypedSilent(parsed->request);
  if (showProgress) {
    progress = TerminalProgress{&run->files, 0, 0, -1, "", false, options.extension.utf8Names};
    run->progress = DiskProgress{DrawProgress, &progress};
  }
  // SIGTERM, Ctrl-C and a closed terminal during the extraction remove the
  // file being written and the run's private folder.
  PosixWatchStopSignals();
  const int exitCode = PrepareFolder(probe, opened, &parsed->request, privateFolder, kPathSize);
  // The check before writing has no percent of its own: the line says it runs
  // until the first file's line takes its place.
  if (exitCode < 0 && showProgress && Asks(options, kBehaveCheckFirst)) {
    std::fputs("checking the archive...", stderr);
    std::fflush(stderr);
    progress.shown = 0;
  }
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "sfx";
  static PosixArguments parsed;
  ParsePosixArguments(argc, argv, &parsed);
  // The archive as read before the run: its record decides what follows "--".
  static StubRun probe;
  static char own[PATH_MAX];
  bool opened = false;
  if (parsed.command == PosixCommand::kRun || parsed.command == PosixCommand::kUsageError) {
    RunOwnPath(argc > 0 ? argv[0] : "", own, sizeof own);
    opened = OpenForInspection(&probe, own, false).ok();
    if (opened && Asks(probe.options, kBehaveSwitches)) ParsePosixArguments(argc, argv, &parsed, true);
    // The folder is made ready with the paths written as the run writes them.
    PlatformUseUtf8Names(opened && probe.options.extension.utf8Names);
  }
  switch (parsed.command) {
    case PosixCommand::kHelp: return std::printf(kUsage, program, program, program), 0;
    case PosixCommand::kVersion: return std::printf("dolmsfx %s\n", DOLM_VERSION), 0;
    case PosixCommand::kList: return Inspect(program, false);
    case PosixCommand::kCheck: return Inspect(program, true);
    case PosixCommand::kUsageError: return UsageError(program, parsed.problem, parsed.detail);
    case PosixCommand::kRun: break;
  }
  // One run per process; kept out of the stack for its size.
  static StubRun run;
  static char privateFolder[kPathSize];
  parsed.request.ownPath = own;
  run.stages = StagesFromSetting(std::getenv("DOLM_STAGES"));
  const int refused = PrepareRun(&probe, opened, &parsed, &run, privateFolder, program);
  EndInspection(&probe);
  if (refused >= 0) return refused;
  const RunOutcome outcome = RunStub(&run, parsed.request);
  // A progress line still shown (a run that ended before its extraction) goes.
  if (run.progress.hook != nullptr) run.progress.hook(run.progress.self, nullptr, 0);
  // A file that the run left open is one it could not finish.
  PosixRemoveFileBeingWritten();
  PosixEndExtraction();
  if (parsed.request.noExec && outcome.exitCode == 0 && run.ownFolder) {
    char notice[kPathSize + 40];
    std::snprintf(notice, sizeof notice, "the files were extracted into %s", run.tempFolder);
    PlatformNotice(notice);
  }
  ShowOutcome(outcome);
  TellWriteFailure(outcome, run.faults.first);
  // A private folder that holds nothing (a run that wrote nothing) goes.
  if (privateFolder[0] != '\0') PlatformRemoveFolder(privateFolder);
  if (run.ownFolder) PlatformRemoveFolder(run.tempFolder);
  std::fflush(nullptr);
  return outcome.exitCode;
}
