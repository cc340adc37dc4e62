// The last step of a run: start the execute file, wait for it, and remove what
// this run extracted when DeleteSFXwhenDone is set.
//
// The removal walks the temporary folder depth first but takes only the files
// that this run wrote and the folders that it created (the record kept by the
// file output): the temporary folder is often shared with other programs, and
// their files must survive. The temporary folder itself always stays.
//
// This module keeps no state of its own: it works on the texts and the
// record of written paths that the run sequence hands it.
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "launch/launch.h"

namespace {

constexpr size_t kWalkPathSize = 520;   // search pattern and entry path of a walk level
constexpr size_t kExecPathSize = 780;   // execute path

// "\" when text is not empty and does not end in a separator (on Windows
// only a backslash: "D:/out/" gets one), else "".
const char* SeparatorAfter(const char* text) {
  size_t n = strlen(text);
  return (n > 0 && !PlatformIsFolderBreak(text[n - 1])) ? "\\" : "";
}

// everything: the folder is this run's own, and all in it goes.
void WalkFolder(const char* folder, WrittenRecord* written, bool everything) {
  char pattern[kWalkPathSize];
  const char* separator = SeparatorAfter(folder);
  if (snprintf(pattern, sizeof pattern, "%s%s*.*", folder, separator) >= static_cast<int>(sizeof pattern))
    return;
  PlatformFindEntry entry;
  void* search = PlatformFindFirst(pattern, &entry);
  if (search == nullptr) return;
  do {
    if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0) continue;
    char path[kWalkPathSize];
    if (snprintf(path, sizeof path, "%s%s%s", folder, separator, entry.name) >= static_cast<int>(sizeof path))
      continue;
    const bool isFolder = (entry.attributes & kAttrFolder) != 0;
    // Folders not created by this run are searched for this run's files but
    // never removed; searching stops where nothing of this run can lie.
    if (isFolder && (everything || HasWrittenPathBelow(written, path))) WalkFolder(path, written, everything);
    if (!everything && !IsWrittenPath(written, path)) continue;
    if (entry.attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem)) PlatformSetAttributes(path, kAttrNormal);
    if (isFolder)
      PlatformRemoveFolder(path);
    else
      PlatformDeleteFile(path);
  } while (PlatformFindNext(search, &entry));
  PlatformFindClose(search);
}

}  // namespace

bool ChangeFolder(const char* path) {
  if (path[0] != '\0' && path[1] == ':') {
    char letter = path[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (!PlatformSetCurrentDrive(letter - 'A' + 1)) return false;
    path += 2;
  }
  return PlatformSetCurrentFolder(path);
}

void RemoveFolderContents(const char* folder, WrittenRecord* written, Removal removal) {
  const bool everything = removal == Removal::kEverything;
  char saved[kPathSize];
  const bool haveSaved = PlatformGetCurrentFolder(saved, sizeof saved);
  if (haveSaved) {
    // Leave the tree that is about to be removed: the drive's root folder
    // ("C:\"), or "/" for a POSIX path.
    char root[4] = {0, 0, 0, 0};
    if (saved[0] != '\0' && saved[1] == ':')
      memcpy(root, saved, 2), root[2] = '\\';
    else
      root[0] = '\\';
    ChangeFolder(root);
  }
  WalkFolder(folder, written, everything);
  // A folder removed whole is left for good: Windows removes no folder that
  // is a process's current one, and the launch made it this one's.
  if (haveSaved && !everything) ChangeFolder(saved);
}

void CleanUp(const char* folder, WrittenRecord* written, bool ownFolder) {
  if (!PlatformIsAbsolutePath(folder) && !IsPathSeparator(folder[0])) return;
  RemoveFolderContents(folder, written, ownFolder ? Removal::kEverything : Removal::kWrittenByRun);
  if (ownFolder) PlatformRemoveFolder(folder);
}

Result LaunchStoredFile(const char* tempFolder, const StoredOptions* options, WrittenRecord* written,
                        LaunchOutcome* outcome) {
  outcome->path[0] = '\0';
  outcome->exitStatus = 0;
  outcome->startError = 0;
  if (options->record.execLength == 0) return kOk;
  char execPath[kExecPathSize];
  // A path cut short could only name the wrong file: it is not started.
  if (snprintf(execPath, sizeof execPath, "%s%s%s", tempFolder, SeparatorAfter(tempFolder),
               options->execFile) >= static_cast<int>(sizeof execPath))
    return Result{kCannotStart};
  for (char* p = execPath; *p; ++p)
    if (*p == '/') *p = '\\';
  if (OptionField(options->record.optionWord, kRecreateOriginalFolders) == 0) {
    // Files were extracted flat: the execute file is looked for by its name.
    char flat[kExecPathSize];
    snprintf(flat, sizeof flat, "%s%s%s", tempFolder, SeparatorAfter(tempFolder),
             execPath + FolderPartLength(execPath));
    memcpy(execPath, flat, sizeof execPath);
  }
  snprintf(outcome->path, sizeof outcome->path, "%s", execPath);
  // Where temporary folders are shared, a file this run did not write (one
  // planted beforehand, or kept by the answer No) is never started.
  if (PlatformStartsOnlyWrittenFiles() && !IsWrittenPath(written, execPath)) return Result{kNotWrittenByRun};
  return LaunchExecuteFile(execPath, options->execArgs, tempFolder, outcome);
}
