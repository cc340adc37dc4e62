// Launch and clean-up: starting the execute file and removing what this run
// extracted.
#pragma once

#include "container/container.h"
#include "output/output.h"
#include "platform/platform.h"

// What the launch of the execute file gave.
struct LaunchOutcome {
  char path[kPathSize];  // the execute file as it was to be started
  int exitStatus;        // the program's exit status, when it ran
  int startError;        // the system's reason, when it could not be started (0: none known)
};
// Starts the stored execute file below tempFolder (by its name alone when
// the files were extracted flat) and waits for it. kNoAssociation when it is
// a document that no program opens; kNotWrittenByRun when the platform
// starts only what this run wrote and it did not write it; kCannotStart when
// it could not be started.
Result LaunchStoredFile(const char* tempFolder, const StoredOptions* options, WrittenRecord* written,
                        LaunchOutcome* outcome);
// Removes the files this run wrote and the folders it created below the
// extraction folder, an absolute path (ResolveAgainstCurrentFolder); when
// the folder is the run's own, everything in it and the folder itself.
void CleanUp(const char* folder, WrittenRecord* written, bool ownFolder);

// Starts path with args in folder and waits for it to end.
Result LaunchExecuteFile(char* path, const char* args, const char* folder, LaunchOutcome* outcome);
void StripQuotes(char* text);
// Forms the command line that starts path (520 bytes): kNoAssociation when
// path is a document with no associated program, kCannotStart when path or
// the command line would not fit. StripQuotes is applied to path.
Result FormLaunchCommandLine(char* path, const char* args, char* commandLine);
// Which files a removal takes: only what this run wrote and the folders it
// created, or everything (the folder is the run's own).
enum class Removal { kWrittenByRun, kEverything };
// Removes what `removal` takes below folder, from the drive's root folder (or
// "/") as the current folder so that the tree being removed is not in use.
void RemoveFolderContents(const char* folder, WrittenRecord* written, Removal removal);
bool ChangeFolder(const char* path);
