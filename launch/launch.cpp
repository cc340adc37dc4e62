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

bool EndsWith(const char* text, const char* tail) {
  size_t n = strlen(text), m = strlen(tail);
  return n >= m && memcmp(text + n - m, tail, m) == 0;
}

// True when the file starts like a POSIX program: "#!" or the ELF magic.
bool StartsLikeProgram(const char* path) {
  FILE* file = PlatformOpenFile(path, "rb");
  if (file == nullptr) return false;
  unsigned char head[4] = {0, 0, 0, 0};
  size_t got = fread(head, 1, sizeof head, file);
  fclose(file);
  if (got >= 2 && head[0] == '#' && head[1] == '!') return true;
  return got == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
}

void LowerCase(char* text) {
  for (char* p = text; *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
}

// The program test: ".exe", ".com" or ".bat" anywhere in the lower-cased
// path; beyond that a ".sh" ending or a file that begins like a POSIX program
// (these never matter for a Windows program, which carries one of the three).
bool IsProgram(const char* path) {
  char lowered[kCommandSize];
  snprintf(lowered, sizeof lowered, "%s", path);
  LowerCase(lowered);
  if (strstr(lowered, ".exe") || strstr(lowered, ".com") || strstr(lowered, ".bat")) return true;
  StripQuotes(lowered);
  if (EndsWith(lowered, ".sh")) return true;
  char unquoted[kCommandSize];
  snprintf(unquoted, sizeof unquoted, "%s", path);
  StripQuotes(unquoted);
  return StartsLikeProgram(unquoted);
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
  if (strlen(path) >= kPathSize) return Result{kSilentFailure};
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
    return Result{kSilentFailure};
  }
  return kOk;
}

Result LaunchExecuteFile(char* path, const char* args, bool wait, const char* folder) {
  char absolute[kCommandSize];
  snprintf(absolute, sizeof absolute, "%s", path);
  StripQuotes(absolute);
  // A relative path is joined to the current folder before that folder
  // changes, so that the extracted file is the one started.
  if (absolute[0] != '\0' && !PlatformIsAbsolutePath(absolute)) {
    char current[kPathSize];
    if (PlatformGetCurrentFolder(current, sizeof current)) {
      size_t n = strlen(current);
      const char* separator = (n > 0 && !IsPathSeparator(current[n - 1])) ? "\\" : "";
      char joined[kCommandSize];
      if (snprintf(joined, sizeof joined, "%s%s%s", current, separator, absolute) >= static_cast<int>(sizeof joined))
        return Result{kSilentFailure};
      memcpy(absolute, joined, sizeof absolute);
    }
  }

  PlatformSetCurrentFolder(folder);
  char commandLine[kCommandSize];
  Result formed = FormLaunchCommandLine(absolute, args, commandLine);
  if (!formed.ok()) return formed;
  // The extracted file carries no execute permission on POSIX systems yet.
  if (IsProgram(absolute)) PlatformMakeExecutable(absolute);
  if (!PlatformRunProcess(commandLine, wait)) return Result{kSilentFailure};
  return kOk;
}
