// File output: solid header and file table, window expansion, target paths
// and folders, opening and finishing files.
#pragma once

#include <cstdint>
#include <cstdio>

// ---- solid_header.cpp --------------------------------------------------------
struct FileRecord {
  uint32_t time;        // seconds since 1970 UTC
  uint32_t size;
  uint8_t attributes;
  char name[260];
};
struct FileTable {
  FileRecord* records;  // capacity entries; 0..count-1 valid after ReadSolidHeader
  uint32_t capacity;
  uint32_t count;
};
extern FileTable gFiles;

int InitFileTable();
int ReadSolidHeader();
uint32_t UnpackHeader(uint32_t packedLength, const uint8_t* packed, uint8_t* output,
                      uint32_t outputSize);
struct SplayTree {
  uint16_t left[256];
  uint16_t right[256];
  uint16_t up[512];
};
void ResetSplayTree(SplayTree* tree);
void SplaySymbol(SplayTree* tree, int s);
void ReserveEntry(uint32_t index);
void RegisterFile(uint32_t index, const char* name, uint32_t size, uint32_t time,
                  uint8_t attributes);

// ---- expand.cpp --------------------------------------------------------------
struct ExpandState {
  uint32_t windowPos;     // bytes filled since the last flush, 0..W
  char currentName[260];
  int32_t remaining;      // bytes still owed to the current file
  uint32_t nextFile;      // table index of the next file to open
  uint8_t writeFlag;      // 1 while the current file's bytes are written
  FILE* outputFile;       // the output file slot
  uint32_t filesStarted;
};
extern ExpandState gExpand;

void BeginFiles();
int ExpandBlocks();
void FlushWindow(uint32_t n);
// Expands the flag bits of the current block into the window from *position
// (validBits: the valid bits of the block's last flag byte, 0 for all 8).
// Returns 0, or 1 when the block asks for more stream bytes than it holds.
int ExpandOneBlock(uint32_t* position, uint32_t validBits);

// ---- paths.cpp ---------------------------------------------------------------
void DefaultTemporaryFolder(char* folder);  // 260-byte buffer
// Fills target (260 bytes); returns 0, or 1 when the path would not fit.
int TargetPathFor(const char* storedName, char* target);
void MakeFolders(const char* folderPath);
// Length of the drive and folder part of a path (a leading letter and colon,
// then everything up to and including the last backslash or slash); the file
// name and extension start there.
uint32_t FolderPartLength(const char* path);

// ---- files.cpp ---------------------------------------------------------------
extern uint8_t gOverwriteAll;
int OpenTarget(const char* storedName);
void FinishFile(FILE* file, uint32_t index, int apply);
// Paths written and folders created by this run, for the clean-up. Each is
// kept in an absolute, normalised form (backslashes, no empty, "." or ".."
// parts, letters folded for drive paths), so that the clean-up
// can tell this run's entries from every other one.
void RecordWrittenPath(const char* path);
uint32_t WrittenPathCount();
const char* WrittenPath(uint32_t i);
int IsWrittenPath(const char* path);         // 1: this run wrote or created it
int HasWrittenPathBelow(const char* folder); // 1: something recorded lies inside
void ForgetWrittenPaths();                    // empties the record
