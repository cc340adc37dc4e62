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
    "  --help      show this text\n"
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

void PrintOptions(const StubRun* run) {
  const uint32_t word = run->options.record.optionWord;
  std::printf("Execute file:       %s\n", run->options.execFile[0] ? run->options.execFile : "(none)");
  std::printf("Execute arguments:  %s\n", run->options.execArgs);
  std::printf("Temporary folder:   %s\n",
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
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(record.name); *p; ++p) {
    if (*p < 0x20 || *p == 0x7F) std::printf("\\x%02x", *p);
    else std::putchar(*p);
  }
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
  RunOwnPath(argc > 0 ? argv[0] : "", own, sizeof own);
  parsed.request.ownPath = own;
  run.stages = StagesFromSetting(std::getenv("DOLM_STAGES"));
  const RunOutcome outcome = RunStub(&run, parsed.request);
  ShowOutcome(outcome);
  std::fflush(nullptr);
  return outcome.exitCode;
}
