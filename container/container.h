// Archive container: finding the appended archive in the stub's own file, the
// stored option block and the archive header.
#pragma once

#include <cstdint>
#include <cstdio>

#include "container/extension.h"
#include "format/format.h"
#include "platform/platform.h"

struct OptionsRecord {
  uint32_t tempLength;  // T
  uint32_t execLength;  // E
  uint32_t unused;
  uint32_t optionWord;
};

// The option block as stored; the run sequence then applies the switches to
// record.optionWord and may replace tempFolder. Invariant: the three texts
// are NUL-terminated within their buffers; extension.present only with
// extensionBytes, the record's bytes that its texts point into.
struct StoredOptions {
  OptionsRecord record;
  char tempFolder[kPathSize];  // the stored folder (before any marker), "" for none
  char execFile[528];
  char execArgs[520];
  ExtensionRecord extension;  // absent for an archive without the record
  uint8_t* extensionBytes;    // heap, kept until ReleaseExtension; null without a record
};

// The archive file of one run. Invariants: file is null or the one open
// archive file; optionBlockPos is 0 until the first search of the run
// succeeds and then holds the file offset of the archive header (P), which
// it keeps; header is the last archive header read.
struct ArchiveFile {
  FILE* file;
  int32_t optionBlockPos;
  uint8_t header[36];
  char name[kPathSize];  // the path, as error texts show it (at most 259 characters)
};

// Opens path as the archive file (error 0 when it cannot be opened), with the
// remembered position kept.
Result OpenArchive(const char* path, ArchiveFile* archive, Faults* faults);
void CloseArchive(ArchiveFile* archive);

// The start-up load: opens the stub's own file, finds the archive, reads the
// option block into options and checks the archive header; the file is
// closed again.
Result LoadStoredOptions(const char* ownPath, ArchiveFile* archive, StoredOptions* options,
                         Faults* faults);

// Frees the extension record's bytes and marks the record absent (a copy of
// options must not be used for the record after this).
void ReleaseExtension(StoredOptions* options);

// Puts the file at P; while P is 0, searches the file for the overlay
// signature and reads the option block into options first, with the
// extension record in front of the signature when the third field leads to
// one (kStopDamagedRecord, kStopNeedsNewer when it cannot be used).
Result LocateArchive(ArchiveFile* archive, StoredOptions* options, Faults* faults);
// Locates the archive and reads and checks the archive header into
// archive->header, leaving the file just behind it.
Result CheckArchiveHeader(ArchiveFile* archive, StoredOptions* options, Faults* faults);
// CheckArchiveHeader, then back to P.
Result ReadArchiveSettings(ArchiveFile* archive, StoredOptions* options, Faults* faults);
bool IsValidArchiveHeader(const uint8_t* header);

// The marker rule: the folder is the stored text before the first marker.
// Returns false (and leaves folder empty) when it would not fit in kPathSize.
bool TakeTempFolderText(const char* text, uint32_t length, char* folder);
// Splits the stored execute text '"[' file ']' arguments '"' into file (528
// bytes) and args (520 bytes).
void SplitExecuteText(const char* text, uint32_t length, char* file, char* args);
