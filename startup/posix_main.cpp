// Entry of the Linux stub: the command line read the way Linux users write
// it (switch letters grouped as getopt groups them, --help, --version,
// --list, --check) into the run's request; the run, and what it ends with.
// The process ends when main returns.
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
    "Usage: %s [-adikopqrs] [FOLDER]\n"
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
    "  --list      show the stored options and files, extracting nothing\n"
    "  --check     read and check the whole archive, writing nothing\n"
    "  -h, --help  show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 all was extracted and the program (if any) exited 0; the\n"
    "program's own status when it exited non-zero (128 + N after signal N);\n"
    "1 Cancel at the overwrite question; 2 wrong command line; 3 no memory for\n"
    "the list of files; 4 an error message was shown (--check: the archive is\n"
    "damaged); 126 the program could not be started; 127 it was not extracted.\n"
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
// Returns the exit code when the run ends here, else -1. (-a, an archive that
// cannot be read and a folder refused go to the run, which tells why.)
int PrepareFolder(RunRequest* request, char* made, size_t size) {
  static StubRun probe;
  made[0] = '\0';
  int exitCode = -1;
  bool report = false;
  if (OpenForInspection(&probe, request->ownPath, false).ok() && ApplySwitches(&probe, *request, &report).ok() &&
      !report) {
    const char* folder = probe.tempFolder;
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
    if (exitCode < 0 && OptionField(probe.options.record.optionWord, kIgnoreErrors) == 0)
      exitCode = CheckFreeSpace(probe.files, OptionField(probe.options.record.optionWord, kRecreateOriginalFolders) != 0,
                                host, folder);
    if (exitCode >= 0 && made[0] != '\0') PlatformRemoveFolder(made);
  }
  EndInspection(&probe);
  return exitCode;
}

// A write that failed: the file and the system's reason, after the error box.
void TellWriteFailure(const RunOutcome& outcome, const Fault& fault) {
  if (outcome.show != Showing::kBox || fault.error != kErrorWriteFailed || fault.systemError == 0) return;
  char notice[sizeof fault.subject + 120];
  std::snprintf(notice, sizeof notice, "%s: cannot be written: %s", fault.subject, std::strerror(fault.systemError));
  PlatformNotice(notice);
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "sfx";
  static PosixArguments parsed;
  ParsePosixArguments(argc, argv, &parsed);
  switch (parsed.command) {
    case PosixCommand::kHelp: return std::printf(kUsage, program, program), 0;
    case PosixCommand::kVersion: return std::printf("dolmsfx %s\n", DOLM_VERSION), 0;
    case PosixCommand::kList: return Inspect(program, false);
    case PosixCommand::kCheck: return Inspect(program, true);
    case PosixCommand::kUsageError: return UsageError(program, parsed.problem, parsed.detail);
    case PosixCommand::kRun: break;
  }
  // One run per process; kept out of the stack for its size.
  static StubRun run;
  static char own[PATH_MAX];
  static char privateFolder[kPathSize];
  RunOwnPath(argc > 0 ? argv[0] : "", own, sizeof own);
  parsed.request.ownPath = own;
  run.stages = StagesFromSetting(std::getenv("DOLM_STAGES"));
  // SIGTERM, Ctrl-C and a closed terminal during the extraction remove the
  // file being written and the run's private folder.
  PosixWatchStopSignals();
  const int refused = PrepareFolder(&parsed.request, privateFolder, sizeof privateFolder);
  if (refused >= 0) return refused;
  const RunOutcome outcome = RunStub(&run, parsed.request);
  // A file that the run left open is one it could not finish.
  PosixRemoveFileBeingWritten();
  PosixEndExtraction();
  ShowOutcome(outcome);
  TellWriteFailure(outcome, run.faults.first);
  // A private folder that holds nothing (a run that wrote nothing) goes.
  if (privateFolder[0] != '\0') PlatformRemoveFolder(privateFolder);
  if (run.ownFolder) PlatformRemoveFolder(run.tempFolder);
  std::fflush(nullptr);
  return outcome.exitCode;
}
