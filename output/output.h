// File output: solid header and file table, window expansion, target paths
// and folders, opening and finishing files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/engine.h"
#include "format/format.h"
#include "platform/platform.h"

// ---- solid_header.cpp --------------------------------------------------------
struct FileRecord {
  uint32_t time;        // seconds since 1970 UTC
  uint32_t size;
  uint8_t attributes;
  uint16_t mode;        // Unix type and permission bits; 0 when none is stored
  const char* name;     // NUL-terminated, at most 255 bytes, in the table's name arena
};
// The kind of entry a record stands for: a file (also every entry without a
// mode), a folder of its own or a symbolic link whose data is its target.
enum class EntryKind { kFile, kFolder, kLink };
inline EntryKind KindOf(const FileRecord& record) {
  const uint16_t type = record.mode & kModeTypeMask;
  return type == kModeFolder ? EntryKind::kFolder : type == kModeLink ? EntryKind::kLink : EntryKind::kFile;
}
// The list of stored files. Invariants: records holds capacity entries
// (3000 + k × 2000) or is null with capacity 0; count <= capacity, and
// records 0..count-1 are the files of the last solid header read
// successfully, their names in `names` (one arena for the whole table).
struct FileTable {
  FileRecord* records;
  char* names;
  uint32_t capacity;
  uint32_t count;
};
void ReleaseFileTable(FileTable* files);

// Reads, checks and unpacks the solid header at the file's position into
// files. Error 6 for a damaged header; kStopNoTreePool when the decoder's
// trees cannot be reserved, kStopNoTableMemory when the table cannot grow,
// kSilentFailure when the header's buffers cannot be reserved. unixModes
// (the archive's record has kEntryUnixModes): each entry's mode is read
// from its reserved bytes, and a mode of no known type, a folder with data
// or a link whose target is empty or longer than kLinkTargetMax is a damaged
// header; without it every mode is 0.
Result ReadSolidHeader(FILE* file, FileTable* files, Faults* faults, bool unixModes = false);


// ---- the output interface ------------------------------------------------------
// Where the expansion's files go: the stub's files below its extraction
// folder (DiskOutput below), the dolm tool's files below a folder descriptor,
// nowhere (its test command) or memory (the fuzz targets). self is the
// implementation's own state; every call returns a Result.
struct OutputSink {
  void* self;
  // Opens file `index` for writing. *write is false when the file is passed
  // over (the user answered No to the overwrite question).
  Result (*open)(void* self, uint32_t index, const FileRecord& record, bool* write);
  Result (*write)(void* self, const uint8_t* bytes, uint32_t count);
  // Closes the open file; complete: all its bytes were written, and stored
  // times and attributes apply.
  Result (*finish)(void* self, uint32_t index, const FileRecord& record, bool complete);
  // Closes and removes the open file, which did not get all its bytes.
  void (*remove)(void* self);
};

// ---- flush.cpp and expand.cpp: the window expansion and the file loop -----------
// One extraction's expansion. Invariants: windowPos < W between items (a full
// window is flushed at once); fileOpen is true only while the sink holds the
// open file of table index nextFile - 1; remaining counts the bytes that file
// is still owed (only meaningful while nextFile > 0); halted is set by the
// first output failure that ends the run, after which nothing more is written.
struct Expansion {
  Engine* engine;
  const FileTable* files;
  OutputSink sink;
  Faults* faults;
  BlockState block;
  uint32_t windowPos;     // bytes filled since the last flush, 0..W
  int32_t remaining;      // bytes still owed to the current file
  uint32_t nextFile;      // table index of the next file to open
  uint32_t filesStarted;
  uint64_t produced;      // bytes rebuilt in the window so far
  bool writing;           // the current file's bytes are written
  bool fileOpen;
  bool halted;
  bool stopPastFiles;     // a flush past the last file's last byte halts (inspection)
  Result failure;         // what halted the expansion
  uint8_t stages;         // of the block source (OpenBlockSource); 0 after StartExpansion
};
void StartExpansion(Expansion* x, Engine* engine, const FileTable* files, OutputSink sink,
                    Faults* faults);
// Opens the first file and expands every block of the archive into the files.
Result BeginFiles(Expansion* x, FILE* archive);
// Expands the blocks from the archive's position to the last one.
Result ExpandBlocks(Expansion* x, FILE* archive);
// Hands the first n bytes of the window to the files; false when an output
// failure halted the expansion.
bool FlushWindow(Expansion* x, uint32_t n);
// Empty files at the end of the table get no flush of their own (the last
// flush stops at the last byte of data): this finishes the open file when it
// is complete and creates those empty files. False when the output failed.
bool FinishEmptyTail(Expansion* x);
// What EndExpansion does with a file whose bytes did not all arrive (the
// data ended early, or the run went on after an error).
enum class HalfFile { kKeep, kRemove };
// Ends an expansion: the file left open, if any, is closed as it stands
// (kKeep, the stub's way) or removed (kRemove, dolm extract's way). Returns
// what closing it gave.
Result EndExpansion(Expansion* x, HalfFile halfFile);
// Expands the flag bits of the current block into the window from
// x->windowPos (validBits: the valid bits of the block's last flag byte, 0
// for all 8). kErrorDamaged when the block asks for more stream bytes than
// its buffers hold; the output's failure when a flush failed.
Result ExpandOneBlock(Expansion* x, uint32_t validBits);

// ---- paths.cpp ---------------------------------------------------------------
void DefaultTemporaryFolder(char* folder);  // kPathSize bytes
// Fills target (kPathSize bytes) with the path a stored name is written to
// below folder ("" = the current folder); false when it would not fit.
bool TargetPathFor(const char* folder, uint32_t optionWord, const char* storedName, char* target);
// The part of a stored name that goes below the folder: its file name alone
// when folders are not recreated, else the name less anything up to the
// temporary-folder marker.
const char* StoredTail(uint32_t optionWord, const char* storedName);
// Joins a relative path to the current folder (a rooted one, "\\x", to the
// current drive only) into out; false when it does not fit.
bool ResolveAgainstCurrentFolder(const char* path, char* out, size_t size);
// Length of the drive and folder part of a path (a leading letter and colon,
// then everything up to and including the last backslash or slash); the file
// name and extension start there.
uint32_t FolderPartLength(const char* path);

// ---- links.cpp: the links checked before anything is written ------------------
// An output that writes nothing and checks the target of every symbolic link
// as its data arrives: kStopUnsafeLink, naming the link, for one that would
// lead out of the extraction folder (LinkTargetStaysInside, the link as deep
// as StoredTail of its name under optionWord puts it). Invariants: target
// holds the bytes of the open link so far; kind is that of the open entry.
struct LinkCheck {
  uint32_t optionWord;
  Faults* faults;
  EntryKind kind;
  char target[kLinkTargetMax];
  uint32_t length;
};
OutputSink LinkCheckSink(LinkCheck* check, uint32_t optionWord, Faults* faults);

// ---- files.cpp: the stub's files on disk ----------------------------------------
// Paths written and folders created by one run, for the clean-up. Each is
// kept in an absolute, normalised form (backslashes, no empty, "." or ".."
// parts, letters folded for drive paths), so that the clean-up can tell this
// run's entries from every other one. Invariants: offsets[0..count-1] index
// NUL-terminated paths inside pool[0..used-1]; when sorted is true the
// offsets are in strcmp order of their paths.
struct WrittenRecord {
  char* pool;
  uint32_t used;
  uint32_t poolCapacity;
  uint32_t* offsets;
  uint32_t count;
  uint32_t offsetCapacity;
  bool sorted;
};
void RecordWrittenPath(WrittenRecord* record, const char* path);
bool IsWrittenPath(WrittenRecord* record, const char* path);
bool HasWrittenPathBelow(WrittenRecord* record, const char* folder);
void ForgetWrittenPaths(WrittenRecord* record);
// Creates every missing folder of folderPath, outermost first, and records
// the ones it made; true when it made the innermost one.
bool MakeFolders(WrittenRecord* record, const char* folderPath);

// The overwrite question: returns 'Y', 'N', 'A' or 'C'.
typedef int (*OverwriteQuestion)(void* self, const char* question);

// Who is told how the disk output gets on (a progress line or window): of
// each file it opens for writing (opened: its record, written 0) and of each
// write (opened null), and by the run of the end of the extraction (opened
// null, written 0). A hook that returns false stops the extraction as
// Cancel does. A null hook: nobody is told.
typedef bool (*ProgressHook)(void* self, const FileRecord* opened, uint32_t written);
struct DiskProgress {
  ProgressHook hook;
  void* self;
};

// The stub's output: files below the extraction folder, with the overwrite
// question, stored times and attributes. Invariants: file is the open output
// file or null, path its target; overwriteAll is raised by "Yes to all".
// With temporaryNames, the open file is written under the name in temporary
// (a free name in the target's folder) and takes the target's name only
// when it is complete, so that a failure leaves the old file as it was.
// A symbolic link of the archive, made once every file is written: its path
// and its target, both NUL-terminated, in one block.
struct PendingLink {
  char* path;
  const char* target;  // inside path's block
};
// The links and the folders of an archive with kEntryUnixModes. Invariants:
// pending[0..count-1] are the links to make, each block of its own; target
// holds the open link's bytes so far (targetLength, at most kLinkTargetMax);
// passed counts the links a platform without them passed over, the first
// one's path in firstPassed.
struct LinkWork {
  EntryKind kind;  // of the entry open now
  char target[kLinkTargetMax + 1];
  uint32_t targetLength;
  PendingLink* pending;
  uint32_t count;
  uint32_t capacity;
  uint32_t passed;
  char firstPassed[kPathSize];
};
struct DiskOutput {
  const char* folder;       // the extraction folder
  uint32_t optionWord;
  bool overwriteAll;
  bool temporaryNames;
  OverwriteQuestion ask;
  void* askSelf;
  Faults* faults;
  FILE* file;
  char path[kPathSize];
  char temporary[kPathSize];
  WrittenRecord written;
  DiskProgress progress;
  LinkWork links;
};
void StartDiskOutput(DiskOutput* out, const char* folder, uint32_t optionWord, OverwriteQuestion ask,
                     void* askSelf, Faults* faults);
OutputSink DiskSink(DiskOutput* out);
// Makes the links the extraction held back (the last step of writing, so that
// no file is ever written through one) and records them for the clean-up;
// error 0 naming a link that cannot be made. Frees what it held either way.
Result MakePendingLinks(DiskOutput* out);
void ForgetPendingLinks(DiskOutput* out);
// The name a file is written under until it is complete, by its number
// (0 to kTemporaryNames - 1): "~dolm" and three digits, an 8.3 name.
constexpr char kTemporaryNameForm[] = "~dolm%03u.tmp";
constexpr unsigned kTemporaryNames = 1000;
// A temporary name in the folder of target that nothing bears yet, in out
// (kPathSize bytes); false when none fits or is free.
bool FreeTemporaryName(const char* target, char* out);
