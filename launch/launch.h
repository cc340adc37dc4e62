// Launch and clean-up: starting the execute file and removing what this run
// extracted.
#pragma once

int LaunchExecuteFile(char* path, int wait, const char* folder);
int FindAssociatedProgram(char* document, char* result);
void StripQuotes(char* text);
void RunAndCleanUp();
void ClearExtractionFolder(const char* commandLine, char* folder);
int RemoveFolderContents(const char* folder, int outermost);
int ChangeFolder(const char* path);
