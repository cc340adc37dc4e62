// Opening and finishing output files: the overwrite question, stored times and
// attributes, and the record of every path this run wrote, which the clean-up
// uses to remove this run's files and nothing else.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "output/output.h"
#include "platform/platform.h"
#include "startup/startup.h"

// Non-zero: existing files are replaced without asking. Set by the extraction
// driver before the first file; raised by the answer "Yes to all".
uint8_t gOverwriteAll = 0;

namespace {

constexpr uint32_t kPathSize = 260;
constexpr uint32_t kNormalSize = 600;  // a current folder joined with a relative path
// Upper bounds of the record; a path beyond them is not recorded, so it is
// simply left on disk by the clean-up.
constexpr uint32_t kMaxRecordBytes = 64u << 20;
constexpr uint32_t kMaxRecordPaths = 1u << 20;

// The record of written paths.
// Invariants: offsets[0..count-1] index NUL-terminated normalised paths that
// lie inside pool[0..used-1]; used <= poolCapacity <= kMaxRecordBytes and
// count <= offsetCapacity <= kMaxRecordPaths; when sorted is 1 the offsets are
// in strcmp order of their paths.
struct WrittenRecord {
  char* pool;
  uint32_t used;
  uint32_t poolCapacity;
  uint32_t* offsets;
  uint32_t count;
  uint32_t offsetCapacity;
  uint8_t sorted;
};
WrittenRecord gRecord = {nullptr, 0, 0, nullptr, 0, 0, 1};

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Forms the absolute, normalised form of path in out (kNormalSize bytes):
// relative paths are joined to the current folder, separators become single
// backslashes, "." parts vanish, ".." removes the part before it, a trailing
// separator is dropped, and drive paths are folded to lower case (their file
// systems ignore case; every other path is compared exactly, which at worst
// leaves a file of this run on disk).
// Returns 1 when the path cannot be formed.
int NormalisePath(const char* path, char* out) {
  char joined[kNormalSize];
  joined[0] = '\0';
  if (!PlatformIsAbsolutePath(path)) {
    char current[kPathSize];
    if (PlatformGetCurrentFolder(current, kPathSize) != 0) return 1;
    if (snprintf(joined, sizeof joined, "%s\\", current) >= static_cast<int>(sizeof joined)) return 1;
  }
  size_t base = strlen(joined);
  if (base + strlen(path) + 1 > sizeof joined) return 1;
  memcpy(joined + base, path, strlen(path) + 1);

  const bool foldCase = joined[0] != '\0' && joined[1] == ':';
  // The root: "x:\", "\\" for a network path, or "\" for a POSIX path.
  size_t in = 0, outLength = 0;
  if (foldCase) {
    out[outLength++] = joined[0];
    out[outLength++] = ':';
    in = 2;
  }
  if (IsSeparator(joined[in])) {
    out[outLength++] = '\\';
    if (in == 0 && IsSeparator(joined[1])) out[outLength++] = '\\';
  }
  const size_t rootLength = outLength;
  while (joined[in] != '\0') {
    while (IsSeparator(joined[in])) ++in;
    size_t start = in;
    while (joined[in] != '\0' && !IsSeparator(joined[in])) ++in;
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
  return 0;
}

int CompareRecorded(const void* a, const void* b) {
  return strcmp(gRecord.pool + *static_cast<const uint32_t*>(a),
                gRecord.pool + *static_cast<const uint32_t*>(b));
}

// Index of the first recorded path not below key in strcmp order.
uint32_t LowerBound(const char* key) {
  if (!gRecord.sorted) {
    if (gRecord.count > 1) qsort(gRecord.offsets, gRecord.count, sizeof(uint32_t), CompareRecorded);
    gRecord.sorted = 1;
  }
  uint32_t low = 0, high = gRecord.count;
  while (low < high) {
    uint32_t mid = low + (high - low) / 2;
    if (strcmp(gRecord.pool + gRecord.offsets[mid], key) < 0)
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

void RecordWrittenPath(const char* path) {
  char normal[kNormalSize];
  if (NormalisePath(path, normal) != 0) return;
  uint32_t length = static_cast<uint32_t>(strlen(normal)) + 1;
  if (gRecord.count >= kMaxRecordPaths || gRecord.used + length > kMaxRecordBytes) return;
  if (gRecord.used + length > gRecord.poolCapacity) {
    uint32_t capacity = gRecord.poolCapacity ? gRecord.poolCapacity : 4096;
    while (capacity < gRecord.used + length) capacity *= 2;
    if (capacity > kMaxRecordBytes) capacity = kMaxRecordBytes;
    char* pool = static_cast<char*>(realloc(gRecord.pool, capacity));
    if (pool == nullptr) return;
    gRecord.pool = pool;
    gRecord.poolCapacity = capacity;
  }
  if (gRecord.count == gRecord.offsetCapacity) {
    uint32_t capacity = gRecord.offsetCapacity ? gRecord.offsetCapacity * 2 : 64;
    if (capacity > kMaxRecordPaths) capacity = kMaxRecordPaths;
    uint32_t* offsets = static_cast<uint32_t*>(realloc(gRecord.offsets, capacity * sizeof(uint32_t)));
    if (offsets == nullptr) return;
    gRecord.offsets = offsets;
    gRecord.offsetCapacity = capacity;
  }
  memcpy(gRecord.pool + gRecord.used, normal, length);
  gRecord.offsets[gRecord.count++] = gRecord.used;
  gRecord.used += length;
  gRecord.sorted = 0;
}

uint32_t WrittenPathCount() { return gRecord.count; }

const char* WrittenPath(uint32_t i) {
  if (i >= gRecord.count) return nullptr;
  return gRecord.pool + gRecord.offsets[i];
}

int IsWrittenPath(const char* path) {
  char normal[kNormalSize];
  if (gRecord.count == 0 || NormalisePath(path, normal) != 0) return 0;
  uint32_t i = LowerBound(normal);
  return i < gRecord.count && strcmp(gRecord.pool + gRecord.offsets[i], normal) == 0;
}

int HasWrittenPathBelow(const char* folder) {
  char normal[kNormalSize];
  if (gRecord.count == 0 || NormalisePath(folder, normal) != 0) return 0;
  size_t length = strlen(normal);
  if (length == 0 || normal[length - 1] != '\\') {
    if (length + 2 > sizeof normal) return 0;
    normal[length++] = '\\';
    normal[length] = '\0';
  }
  uint32_t i = LowerBound(normal);
  return i < gRecord.count && strncmp(gRecord.pool + gRecord.offsets[i], normal, length) == 0;
}

void ForgetWrittenPaths() {
  free(gRecord.pool);
  free(gRecord.offsets);
  gRecord = WrittenRecord{nullptr, 0, 0, nullptr, 0, 0, 1};
}

int OpenTarget(const char* storedName) {
  char target[kPathSize];
  if (TargetPathFor(storedName, target) != 0) {
    ReportError(0, target);
    gExpand.writeFlag = 0;
    return 1;
  }

  char folder[kPathSize];
  uint32_t folderLength = FolderPartLength(target);
  memcpy(folder, target, folderLength);
  folder[folderLength] = '\0';
  MakeFolders(folder);

  if (gOverwriteAll == 0) {
    FILE* existing = PlatformOpenFile(target, "rb");
    if (existing != nullptr) {
      fclose(existing);
      char question[kPathSize];
      snprintf(question, sizeof question, "%s", ShortenForDisplay(target, 70));
      StatusText(question);
      switch (AskOverwrite(question)) {
        case 'Y':
          break;
        case 'A':
          gOverwriteAll = 1;
          break;
        case 'C':
          gExpand.writeFlag = 0;
          PlatformExitProcess(1);
        default:  // 'N', also when the dialog was closed
          gExpand.writeFlag = 0;
          return 0;
      }
    }
  }

  MakeWritable(target);
  gExpand.outputFile = PlatformOpenFile(target, "wb+");
  if (gExpand.outputFile == nullptr) {
    ReportError(0, target);
    gExpand.writeFlag = 0;
    return 1;
  }
  RecordWrittenPath(target);
  return 1;
}

void FinishFile(FILE* file, uint32_t index, int apply) {
  if (file == nullptr) return;
  if (file == gExpand.outputFile) gExpand.outputFile = nullptr;
  fclose(file);
  if (apply == 0 || OptionField(OptionWord(), kKeepOriginalFileAttrib) == 0) return;
  if (index >= gFiles.count) return;

  const FileRecord& entry = gFiles.records[index];
  char path[kPathSize];
  if (TargetPathFor(entry.name, path) != 0) return;
  MakeWritable(path);  // times can only be set while the file is writable
  PlatformSetFileTime(path, entry.time);
  // Only read-only, hidden, system and archive can be given to a file; bit 7
  // (normal) and the folder bits are dropped, and nothing left means normal.
  unsigned attributes = entry.attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive);
  PlatformSetAttributes(path, attributes != 0 ? attributes : kAttrNormal);
}
