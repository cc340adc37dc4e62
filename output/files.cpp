// Opening and finishing output files: the overwrite question, stored times and
// attributes, and the record of every path this run wrote, which the clean-up
// uses to remove this run's files and nothing else.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/format.h"
#include "format/link_target.h"
#include "output/output.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kNormalSize = 600;  // a current folder joined with a relative path
// Upper bounds of the record; a path beyond them is not recorded, so it is
// simply left on disk by the clean-up.
constexpr uint32_t kMaxRecordBytes = 64u << 20;
constexpr uint32_t kMaxRecordPaths = 1u << 20;

// Forms the absolute, normalised form of path in out (kNormalSize bytes):
// relative paths are joined to the current folder, separators become single
// backslashes, "." parts vanish, ".." removes the part before it, a trailing
// separator is dropped, and drive paths are folded to lower case (their file
// systems ignore case; every other path is compared exactly, which at worst
// leaves a file of this run on disk).
// Returns false when the path cannot be formed.
bool NormalisePath(const char* path, char* out) {
  char joined[kNormalSize];
  if (!ResolveAgainstCurrentFolder(path, joined, sizeof joined)) return false;
  const bool foldCase = joined[0] != '\0' && joined[1] == ':';
  // The root: "x:\", "\\" for a network path, or "\" for a POSIX path.
  size_t in = 0, outLength = 0;
  if (foldCase) {
    out[outLength++] = joined[0];
    out[outLength++] = ':';
    in = 2;
  }
  if (IsPathSeparator(joined[in])) {
    out[outLength++] = '\\';
    if (in == 0 && IsPathSeparator(joined[1])) out[outLength++] = '\\';
  }
  const size_t rootLength = outLength;
  while (joined[in] != '\0') {
    while (IsPathSeparator(joined[in])) ++in;
    size_t start = in;
    while (joined[in] != '\0' && !IsPathSeparator(joined[in])) ++in;
    size_t partLength = in - start;
    if (partLength == 0 || (partLength == 1 && joined[start] == '.')) continue;
    if (partLength == 2 && joined[start] == '.' && joined[start + 1] == '.') {
      while (outLength > rootLength && out[outLength - 1] != '\\') --outLength;
      if (outLength > rootLength) --outLength;
      continue;
    }
    if (outLength > rootLength && out[outLength - 1] != '\\') out[outLength++] = '\\';
    memcpy(out + outLength, joined + start, partLength);
    outLength += partLength;
  }
  out[outLength] = '\0';
  if (foldCase) {
    for (char* p = out; *p; ++p)
      if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
  return true;
}

// Index of the first recorded path not below key in strcmp order.
uint32_t LowerBound(WrittenRecord* record, const char* key) {
  if (!record->sorted) {
    const char* pool = record->pool;
    std::sort(record->offsets, record->offsets + record->count,
              [pool](uint32_t a, uint32_t b) { return strcmp(pool + a, pool + b) < 0; });
    record->sorted = true;
  }
  uint32_t low = 0, high = record->count;
  while (low < high) {
    uint32_t mid = low + (high - low) / 2;
    if (strcmp(record->pool + record->offsets[mid], key) < 0)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

// Lifts read-only, hidden and system so that the file can be replaced or take
// a new time.
void MakeWritable(const char* path) { PlatformSetAttributes(path, kAttrArchive); }

}  // namespace

void RecordWrittenPath(WrittenRecord* record, const char* path) {
  char normal[kNormalSize];
  if (!NormalisePath(path, normal)) return;
  uint32_t length = static_cast<uint32_t>(strlen(normal)) + 1;
  if (record->count >= kMaxRecordPaths || record->used + length > kMaxRecordBytes) return;
  if (record->used + length > record->poolCapacity) {
    uint32_t capacity = record->poolCapacity ? record->poolCapacity : 4096;
    while (capacity < record->used + length) capacity *= 2;
    if (capacity > kMaxRecordBytes) capacity = kMaxRecordBytes;
    char* pool = static_cast<char*>(realloc(record->pool, capacity));
    if (pool == nullptr) return;
    record->pool = pool;
    record->poolCapacity = capacity;
  }
  if (record->count == record->offsetCapacity) {
    uint32_t capacity = record->offsetCapacity ? record->offsetCapacity * 2 : 64;
    if (capacity > kMaxRecordPaths) capacity = kMaxRecordPaths;
    uint32_t* offsets = static_cast<uint32_t*>(realloc(record->offsets, capacity * sizeof(uint32_t)));
    if (offsets == nullptr) return;
    record->offsets = offsets;
    record->offsetCapacity = capacity;
  }
  memcpy(record->pool + record->used, normal, length);
  record->offsets[record->count++] = record->used;
  record->used += length;
  record->sorted = false;
}

bool IsWrittenPath(WrittenRecord* record, const char* path) {
  char normal[kNormalSize];
  if (record->count == 0 || !NormalisePath(path, normal)) return false;
  uint32_t i = LowerBound(record, normal);
  return i < record->count && strcmp(record->pool + record->offsets[i], normal) == 0;
}

bool HasWrittenPathBelow(WrittenRecord* record, const char* folder) {
  char normal[kNormalSize];
  if (record->count == 0 || !NormalisePath(folder, normal)) return false;
  size_t length = strlen(normal);
  if (length == 0 || normal[length - 1] != '\\') {
    if (length + 2 > sizeof normal) return false;
    normal[length++] = '\\';
    normal[length] = '\0';
  }
  uint32_t i = LowerBound(record, normal);
  return i < record->count && strncmp(record->pool + record->offsets[i], normal, length) == 0;
}

void ForgetWrittenPaths(WrittenRecord* record) {
  free(record->pool);
  free(record->offsets);
  *record = WrittenRecord{nullptr, 0, 0, nullptr, 0, 0, true};
}

bool MakeFolders(WrittenRecord* record, const char* folderPath) {
  char work[kPathSize];
  uint32_t used = 0;
  bool made = false;
  work[0] = '\0';
  // Each level is created when its separator is reached, outermost first:
  // at a backslash, and on POSIX also at a slash. A slash on Windows makes no
  // level of its own (a stored "sub/x.txt" gets no folder sub).
  for (const char* p = folderPath; *p != '\0' && used + 1 < kPathSize; ++p) {
    if (PlatformIsFolderBreak(*p) && used > 0) {
      // Only folders that did not exist before are recorded for the clean-up.
      made = PlatformCreateFolder(work);
      if (made) RecordWrittenPath(record, work);
    }
    work[used++] = *p;
    work[used] = '\0';
  }
  return made;
}

// ---- the disk output ----------------------------------------------------------

namespace {

// Tells the progress hook; Cancel when it asks to stop.
Result TellProgress(DiskOutput* out, const FileRecord* opened, uint32_t written) {
  if (out->progress.hook == nullptr || out->progress.hook(out->progress.self, opened, written)) return kOk;
  return NoteFault(out->faults, kStopCancelled);
}

// The overwrite question for a target that exists: *replace is set when it
// is to be replaced; Cancel ends the extraction.
Result AskToReplace(DiskOutput* out, const char* target, bool* replace) {
  *replace = true;
  if (out->overwriteAll) return kOk;
  switch (out->ask(out->askSelf, target)) {
    case 'Y':
      return kOk;
    case 'A':
      out->overwriteAll = true;
      return kOk;
    case 'C':
      return NoteFault(out->faults, kStopCancelled);
    default:  // 'N', also when the dialog was closed
      *replace = false;
      return kOk;
  }
}

bool Flat(const DiskOutput* out) { return OptionField(out->optionWord, kRecreateOriginalFolders) == 0; }

// A folder entry of its own: made with the folders above it (not when every
// file goes into one folder), and given its stored mode when this run made
// it. Nothing is written.
Result MakeStoredFolder(DiskOutput* out, const FileRecord& entry) {
  if (Flat(out)) return kOk;
  char folder[kPathSize];
  if (snprintf(folder, sizeof folder, "%s\\", out->path) >= static_cast<int>(sizeof folder))
    return NoteFault(out->faults, kErrorCannotOpen, out->path);
  if (MakeFolders(&out->written, folder) && PlatformHasUnixFiles()) PlatformSetFolderMode(out->path, entry.mode);
  return kOk;
}

// A symbolic link: passed over where the platform has none (counted, and
// said once after the extraction); else its target is gathered as its data
// arrives and the link made after every file.
Result OpenLink(DiskOutput* out, const FileRecord& entry, bool* write) {
  LinkWork& links = out->links;
  if (!PlatformHasUnixFiles()) {
    if (links.passed++ == 0) snprintf(links.firstPassed, sizeof links.firstPassed, "%s", out->path);
    return kOk;
  }
  bool replace = true;
  Result asked = PlatformPathExists(out->path) ? AskToReplace(out, out->path, &replace) : kOk;
  if (!asked.ok() || !replace) return asked;
  Result told = TellProgress(out, &entry, 0);
  if (!told.ok()) return told;
  links.kind = EntryKind::kLink;
  links.targetLength = 0;
  *write = true;
  return kOk;
}

// A link whose target is complete: held back for MakePendingLinks, unless it
// leads out of the extraction folder.
Result HoldLink(DiskOutput* out, const FileRecord& entry) {
  LinkWork& links = out->links;
  const uint32_t depth = StoredFolderDepth(StoredTail(out->optionWord, entry.name));
  if (!LinkTargetStaysInside(reinterpret_cast<const uint8_t*>(links.target), links.targetLength, depth))
    return NoteFault(out->faults, kStopUnsafeLink, out->path);
  if (links.count == links.capacity) {
    const uint32_t capacity = links.capacity ? 2 * links.capacity : 16;
    PendingLink* grown = static_cast<PendingLink*>(realloc(links.pending, capacity * sizeof(PendingLink)));
    if (grown == nullptr) return NoteFault(out->faults, kErrorCannotOpen, out->path);
    links.pending = grown;
    links.capacity = capacity;
  }
  const size_t pathLength = strlen(out->path);
  char* block = static_cast<char*>(malloc(pathLength + links.targetLength + 2));
  if (block == nullptr) return NoteFault(out->faults, kErrorCannotOpen, out->path);
  memcpy(block, out->path, pathLength + 1);
  memcpy(block + pathLength + 1, links.target, links.targetLength);
  block[pathLength + 1 + links.targetLength] = '\0';
  links.pending[links.count++] = PendingLink{block, block + pathLength + 1};
  return kOk;
}

Result OpenTarget(void* self, uint32_t index, const FileRecord& entry, bool* write) {
  DiskOutput* out = static_cast<DiskOutput*>(self);
  (void)index;
  *write = false;
  char* target = out->path;
  if (!TargetPathFor(out->folder, out->optionWord, entry.name, target))
    return NoteFault(out->faults, kErrorCannotOpen, target);

  char folder[kPathSize];
  uint32_t folderLength = FolderPartLength(target);
  memcpy(folder, target, folderLength);
  folder[folderLength] = '\0';
  MakeFolders(&out->written, folder);
  if (KindOf(entry) == EntryKind::kFolder) return MakeStoredFolder(out, entry);
  if (KindOf(entry) == EntryKind::kLink) return OpenLink(out, entry, write);

  if (!out->overwriteAll) {
    FILE* existing = PlatformOpenFile(target, "rb");
    if (existing != nullptr) {
      fclose(existing);
      bool replace = true;
      Result asked = AskToReplace(out, target, &replace);
      if (!asked.ok() || !replace) return asked;
    }
  }

  Result told = TellProgress(out, &entry, 0);
  if (!told.ok()) return told;
  if (out->temporaryNames) {
    // The old file stays untouched until the new one is complete.
    if (!FreeTemporaryName(target, out->temporary)) return NoteFault(out->faults, kErrorCannotOpen, target);
    out->file = PlatformOpenFile(out->temporary, "wb+");
    if (out->file == nullptr) return NoteFault(out->faults, kErrorCannotOpen, target);
    *write = true;
    return kOk;
  }
  MakeWritable(target);
  out->file = PlatformOpenFile(target, "wb+");
  if (out->file == nullptr) return NoteFault(out->faults, kErrorCannotOpen, target);
  RecordWrittenPath(&out->written, target);
  *write = true;
  return kOk;
}

// The file as it is on disk while being written: its temporary name, or the target.
const char* WrittenName(const DiskOutput* out) { return out->temporaryNames ? out->temporary : out->path; }

// A complete file under its temporary name takes the target's name.
Result PutInPlace(DiskOutput* out) {
  char aside[kPathSize];
  if (!FreeTemporaryName(out->path, aside)) aside[0] = '\0';
  if (!PlatformReplaceFile(out->temporary, out->path, aside)) {
    PlatformDeleteFile(out->temporary);
    return NoteFault(out->faults, kErrorCannotOpen, out->path);
  }
  RecordWrittenPath(&out->written, out->path);
  return kOk;
}

Result WriteTarget(void* self, const uint8_t* bytes, uint32_t count) {
  DiskOutput* out = static_cast<DiskOutput*>(self);
  if (out->links.kind == EntryKind::kLink) {
    // The table's check keeps a link's size within the buffer.
    LinkWork& links = out->links;
    const uint32_t room = kLinkTargetMax - links.targetLength;
    memcpy(links.target + links.targetLength, bytes, count < room ? count : room);
    links.targetLength += count < room ? count : room;
    return TellProgress(out, nullptr, count);
  }
  if (fwrite(bytes, 1, count, out->file) == count) return TellProgress(out, nullptr, count);
  return NoteFault(out->faults, kErrorWriteFailed, out->path, -1, errno);
}

Result FinishTarget(void* self, uint32_t index, const FileRecord& entry, bool complete) {
  DiskOutput* out = static_cast<DiskOutput*>(self);
  (void)index;
  if (out->links.kind == EntryKind::kLink) {
    out->links.kind = EntryKind::kFile;
    return complete ? HoldLink(out, entry) : kOk;
  }
  // Buffered bytes that cannot be written show up when the file is closed.
  const bool flushed = fflush(out->file) == 0;
  const int error = errno;
  // A stored mode is given through the descriptor, before the file is
  // closed, and stands instead of the attributes and the content's guess.
  const bool modeGiven = complete && flushed && entry.mode != 0 && PlatformHasUnixFiles() &&
                         PlatformSetWrittenFileMode(entry.mode);
  const bool closed = fclose(out->file) == 0;
  out->file = nullptr;
  const char* name = WrittenName(out);
  // A file under a temporary name that is not complete goes: nothing partial stays.
  if ((!flushed || !closed || !complete) && out->temporaryNames) PlatformDeleteFile(name);
  if (!flushed || !closed) return NoteFault(out->faults, kErrorWriteFailed, out->path, -1, error);
  if (!complete) return kOk;
  if (OptionField(out->optionWord, kKeepOriginalFileAttrib) != 0) {
    if (!modeGiven) MakeWritable(name);  // times can only be set while the file is writable
    PlatformSetFileTime(name, entry.time);
    // The stored attribute byte is applied as it stands; what the system
    // refuses (a folder bit, say), it refuses.
    if (!modeGiven) PlatformSetAttributes(name, entry.attributes);
  }
  if (!modeGiven) PlatformMarkProgram(name);
  return out->temporaryNames ? PutInPlace(out) : kOk;
}

void RemoveTarget(void* self) {
  DiskOutput* out = static_cast<DiskOutput*>(self);
  if (out->links.kind == EntryKind::kLink) {
    out->links.kind = EntryKind::kFile;  // nothing of it was made yet
    return;
  }
  if (out->file != nullptr) fclose(out->file);
  out->file = nullptr;
  PlatformDeleteFile(WrittenName(out));
}

}  // namespace

void StartDiskOutput(DiskOutput* out, const char* folder, uint32_t optionWord, OverwriteQuestion ask,
                     void* askSelf, Faults* faults) {
  memset(out, 0, sizeof *out);
  out->folder = folder;
  out->optionWord = optionWord;
  out->overwriteAll = OptionField(optionWord, kOverWriteExistingFiles) != 0;
  out->ask = ask;
  out->askSelf = askSelf;
  out->faults = faults;
  out->written.sorted = true;
}

bool FreeTemporaryName(const char* target, char* out) {
  const uint32_t folderLength = FolderPartLength(target);
  for (unsigned n = 0; n < kTemporaryNames; ++n) {
    char name[16];
    snprintf(name, sizeof name, kTemporaryNameForm, n);
    if (folderLength + strlen(name) >= kPathSize) return false;
    snprintf(out, kPathSize, "%.*s%s", static_cast<int>(folderLength), target, name);
    if (!PlatformPathExists(out)) return true;
  }
  return false;
}

OutputSink DiskSink(DiskOutput* out) {
  return OutputSink{out, OpenTarget, WriteTarget, FinishTarget, RemoveTarget};
}

Result MakePendingLinks(DiskOutput* out) {
  Result result = kOk;
  for (uint32_t i = 0; i < out->links.count; ++i) {
    const PendingLink& link = out->links.pending[i];
    if (PlatformCreateLink(link.path, link.target)) {
      RecordWrittenPath(&out->written, link.path);
    } else {
      Result failed = NoteFault(out->faults, kErrorCannotOpen, link.path, -1, errno);
      if (result.ok()) result = failed;
      if (!out->faults->goOn) break;
    }
  }
  ForgetPendingLinks(out);
  return result;
}

void ForgetPendingLinks(DiskOutput* out) {
  for (uint32_t i = 0; i < out->links.count; ++i) free(out->links.pending[i].path);
  free(out->links.pending);
  out->links.pending = nullptr;
  out->links.count = 0;
  out->links.capacity = 0;
}
