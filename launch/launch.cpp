// Launching the execute file: a program is started directly, a document with
// the program associated with it; the process starts in the temporary folder
// and the stub waits until it has ended.
//
// This module keeps no state of its own; it leaves the process's current
// folder at the temporary folder.
#include <cstdio>
#include <cstring>

#include "launch/launch.h"

namespace {

constexpr int kCommandSize = 520;   // longest command line: 519 characters

void LowerCase(char* text) {
  for (char* p = text; *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
}

// The program test: ".exe", ".com" or ".bat" anywhere in the lower-cased
// path, or what the platform itself starts as a program (on POSIX a ".sh"
// ending or a file that begins with "#!" or the ELF magic; nothing on Windows).
bool IsProgram(const char* path) {
  char lowered[kCommandSize];
  snprintf(lowered, sizeof lowered, "%s", path);
  LowerCase(lowered);
  if (strstr(lowered, ".exe") || strstr(lowered, ".com") || strstr(lowered, ".bat")) return true;
  char unquoted[kCommandSize];
  snprintf(unquoted, sizeof unquoted, "%s", path);
  StripQuotes(unquoted);
  return PlatformIsNativeProgram(unquoted);
}

}  // namespace

void StripQuotes(char* text) {
  // Works in place, so texts of any length keep their end.
  if (text[0] != '"') return;
  size_t length = strlen(text);
  if (length < 2) {
    text[0] = '\0';
    return;
  }
  memmove(text, text + 1, length - 2);  // drops the first and the last character
  text[length - 2] = '\0';
}

static bool FindAssociatedProgram(char* document, char* result) {
  result[0] = '\0';
  StripQuotes(document);
  char folder[kPathSize];
  char file[kPathSize];
  uint32_t folderLength = FolderPartLength(document);
  if (folderLength >= sizeof folder || strlen(document + folderLength) >= sizeof file) return false;
  memcpy(folder, document, folderLength);
  folder[folderLength] = '\0';
  snprintf(file, sizeof file, "%s", document + folderLength);
  PlatformFindExecutable(file, folder, result, kPathSize);
  return result[0] != '\0';
}

Result FormLaunchCommandLine(char* path, const char* args, char* commandLine) {
  memset(commandLine, 0, kCommandSize);
  // A path beyond 259 characters or a command line beyond 519 is not started:
  // a cut text would start something other than the extracted file.
  if (strlen(path) >= kPathSize) return Result{kCannotStart};
  char lowered[kCommandSize];
  snprintf(lowered, sizeof lowered, "%s", path);
  LowerCase(lowered);

  int length;
  if (IsProgram(path)) {
    StripQuotes(path);
    length = snprintf(commandLine, kCommandSize, "\"%s\" %s ", path, args);
  } else {
    char program[kCommandSize];
    memset(program, 0, sizeof program);
    if (!FindAssociatedProgram(lowered, program)) return Result{kNoAssociation};
    StripQuotes(path);
    length = snprintf(commandLine, kCommandSize, "\"%s\" %s %s ", program, path, args);
  }
  if (length < 0 || length >= kCommandSize) {
    memset(commandLine, 0, kCommandSize);
    return Result{kCannotStart};
  }
  return kOk;
}

Result LaunchExecuteFile(char* path, const char* args, const char* folder, LaunchOutcome* outcome) {
  char given[kCommandSize];
  snprintf(given, sizeof given, "%s", path);
  StripQuotes(given);
  // The file started is the path completed against the current folder before
  // the launch changes it (a drive-relative "C:wo\..." against that drive's
  // folder), so that the extracted file starts wherever the stub was started.
  char file[kCommandSize];
  if (!ResolveAgainstCurrentFolder(given, file, sizeof file)) return Result{kCannotStart};
  // The command line and the program test take the path as the folder was
  // given where the platform names programs so; a rooted folder ("\out")
  // keeps its drive in front there, which names the same folder.
  const bool rooted = IsPathSeparator(given[0]) && !IsPathSeparator(given[1]);
  char named[kCommandSize];
  memcpy(named, PlatformNamesProgramAsGiven() && !rooted ? given : file, sizeof named);
  const bool program = IsProgram(named);
  char commandLine[kCommandSize];
  Result formed = FormLaunchCommandLine(named, args, commandLine);
  PlatformSetCurrentFolder(folder);
  if (!formed.ok()) return formed;
  // The extracted file carries no execute permission on POSIX systems yet.
  if (program) PlatformMakeExecutable(file);
  if (!PlatformRunProcess(commandLine, program ? file : nullptr, &outcome->exitStatus, &outcome->startError))
    return Result{kCannotStart};
  return kOk;
}
