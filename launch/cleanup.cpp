// The last step of a run: start the execute file, wait for it, and remove what
// this run extracted when DeleteSFXwhenDone is set.
//
// The removal walks the temporary folder depth first but takes only the files
// that this run wrote and the folders that it created (the record kept by the
// file output): the temporary folder is often shared with other programs, and
// their files must survive. The temporary folder itself always stays.
//
// This module keeps no state of its own: it reads the start-up texts, the
// stored options and the record of written paths.
#include <cstdio>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "launch/launch.h"
#include "output/output.h"
#include "platform/platform.h"
#include "startup/startup.h"

namespace {

constexpr size_t kPathSize = 260;       // temporary folder, saved current folder
constexpr size_t kWalkPathSize = 520;   // search pattern and entry path of a walk level
constexpr size_t kExecPathSize = 780;   // execute path

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "\" when text is not empty and does not end in a separator, else "".
const char* SeparatorAfter(const char* text) {
  size_t n = strlen(text);
  return (n > 0 && !IsSeparator(text[n - 1])) ? "\\" : "";
}

int WalkFolder(const char* folder) {
  char pattern[kWalkPathSize];
  const char* separator = SeparatorAfter(folder);
  if (snprintf(pattern, sizeof pattern, "%s%s*.*", folder, separator) >= static_cast<int>(sizeof pattern))
    return 0;
  PlatformFindEntry entry;
  void* search = PlatformFindFirst(pattern, &entry);
  if (search == nullptr) return 0;
  do {
    if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0) continue;
    char path[kWalkPathSize];
    if (snprintf(path, sizeof path, "%s%s%s", folder, separator, entry.name) >= static_cast<int>(sizeof path))
      continue;
    const bool isFolder = (entry.attributes & kAttrFolder) != 0;
    // Folders not created by this run are searched for this run's files but
    // never removed; searching stops where nothing of this run can lie.
    if (isFolder && HasWrittenPathBelow(path)) WalkFolder(path);
    if (!IsWrittenPath(path)) continue;
    if (entry.attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem)) PlatformSetAttributes(path, kAttrNormal);
    if (isFolder)
      PlatformRemoveFolder(path);
    else
      PlatformDeleteFile(path);
  } while (PlatformFindNext(search, &entry) == 0);
  PlatformFindClose(search);
  return 0;
}

}  // namespace

int ChangeFolder(const char* path) {
  if (path[0] != '\0' && path[1] == ':') {
    char letter = path[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (PlatformSetCurrentDrive(letter - 'A' + 1) != 0) return -1;
    path += 2;
  }
  return PlatformSetCurrentFolder(path) == 0 ? 0 : -1;
}

int RemoveFolderContents(const char* folder, int outermost) {
  if (!outermost) return WalkFolder(folder);
  char saved[kPathSize];
  const bool haveSaved = PlatformGetCurrentFolder(saved, sizeof saved) == 0;
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
  WalkFolder(folder);
  if (haveSaved) ChangeFolder(saved);
  return 0;
}

void ClearExtractionFolder(const char* commandLine, char* folder) {
  const char* text = commandLine[0] == '"' ? commandLine + 1 : commandLine;
  if (!PlatformIsAbsolutePath(folder)) {
    // The stub's folder: the drive and folder part of the command line.
    uint32_t stubFolderLength = FolderPartLength(text);
    char stubFolder[kExecPathSize];
    if (stubFolderLength >= sizeof stubFolder) return;
    memcpy(stubFolder, text, stubFolderLength);
    stubFolder[stubFolderLength] = '\0';
    char absolute[kExecPathSize];
    int n = snprintf(absolute, sizeof absolute, "%s%s%s", stubFolder, SeparatorAfter(stubFolder), folder);
    // A folder that cannot be named in 259 characters is not touched at all.
    if (n < 0 || static_cast<size_t>(n) >= kPathSize) return;
    memcpy(folder, absolute, static_cast<size_t>(n) + 1);
  }
  RemoveFolderContents(folder, 1);
}

void RunAndCleanUp() {
  char execPath[kExecPathSize];
  const char* tempFolder = gStartup.tempFolder;
  // A path cut short could only name the wrong file: it is not started.
  const bool fits = snprintf(execPath, sizeof execPath, "%s%s%s", tempFolder, SeparatorAfter(tempFolder),
                             gContainer.execFile) < static_cast<int>(sizeof execPath);
  for (char* p = execPath; *p; ++p)
    if (*p == '/') *p = '\\';

  if (gContainer.options.execLength != 0 && fits) {
    if (OptionField(OptionWord(), kRecreateOriginalFolders) == 0) {
      // Files were extracted flat: the execute file is looked for by its name.
      char flat[kExecPathSize];
      snprintf(flat, sizeof flat, "%s%s%s", tempFolder, SeparatorAfter(tempFolder),
               execPath + FolderPartLength(execPath));
      memcpy(execPath, flat, sizeof execPath);
    }
    LaunchExecuteFile(execPath, 1, tempFolder);
  }
  if (OptionField(OptionWord(), kDeleteSFXwhenDone) != 0)
    ClearExtractionFolder(gStartup.commandLine, gStartup.tempFolder);
}
