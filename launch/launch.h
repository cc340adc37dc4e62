// Launch and clean-up: starting the execute file and removing what this run
// extracted.
#pragma once

int LaunchExecuteFile(char* path, int wait, const char* folder);
int FindAssociatedProgram(char* document, char* result);
void StripQuotes(char* text);
// Forms the command line that starts path (520 bytes): 0 when formed, 1 when
// path is a document with no associated program, 2 when path or command line
// would not fit. StripQuotes is applied to path.
int FormLaunchCommandLine(char* path, char* commandLine);
void RunAndCleanUp();
void ClearExtractionFolder(const char* commandLine, char* folder);
int RemoveFolderContents(const char* folder, int outermost);
int ChangeFolder(const char* path);
