// The solid header and the file table: reads the list of stored files, checks
// it, unpacks it with the order-1 context splay decoder and registers every
// file in the table that the expansion and the file output read.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/format.h"
#include "engine/engine.h"
#include "output/output.h"

namespace {

constexpr ErrorNumber kHeaderError = kErrorMeltingNames;
// Padding bits of the last packed byte can decode up to 7 extra symbols behind
// the entries; the entry buffer has room for them and one byte more, so that
// a full buffer always means "more output than any header can hold".
constexpr uint32_t kPaddingSlack = 8;
// The two header buffers of count × 276 bytes each: a count whose buffers
// together pass 2^31 bytes is treated as a reservation that failed, as a
// 32-bit Windows process (2 GiB of address space) could not hold them.
constexpr uint64_t kMaxHeaderReservation = 1ull << 31;
// Largest header buffer tried: beyond it a count is treated like a
// reservation that failed (a 32-bit address space could not hold it either).
constexpr uint64_t kMaxHeaderBuffer = 0xFFFFFFFFull;
// A header cut short is unpacked with zero bytes for what is missing only
// when at most this much (a stream buffer's worth) is missing; a file that
// stops further short of its header is damage, not a tail of zeros to
// decode into thousands of made-up names (1 MiB of them took a second).
constexpr uint32_t kMaxMissingHeaderBytes = 1u << 16;

// The tree pool of the context splay decoder: 256 trees reserved one by one.
// Invariant: either all pointers are null or all point to reserved trees.
struct TreePool {
  SplayTree* trees[kSplayTreeCount];
};

bool ReserveTreePool(TreePool* pool) {
  for (uint32_t i = 0; i < kSplayTreeCount; ++i) {
    pool->trees[i] = static_cast<SplayTree*>(malloc(sizeof(SplayTree)));
    if (pool->trees[i] == nullptr) {
      for (uint32_t j = 0; j < i; ++j) free(pool->trees[j]);
      return false;
    }
  }
  return true;
}

void ReleaseTreePool(TreePool* pool) {
  for (uint32_t i = 0; i < kSplayTreeCount; ++i) {
    free(pool->trees[i]);
    pool->trees[i] = nullptr;
  }
}

// Checks that `count` entries lie wholly inside the first `size` bytes of the
// unpacked data.
bool EntriesFit(const uint8_t* entries, uint32_t size, uint32_t count) {
  uint64_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (offset + kEntryFixedSize > size) return false;
    const uint32_t nameLength = entries[offset + 8];
    offset += kEntryFixedSize + nameLength;
    if (offset > size) return false;
  }
  return true;
}

// Checks the mode of each of `count` entries (they fit the buffer): none, or
// a regular file, a folder without data or a link with a target that a
// system can hold.
bool ModesValid(const uint8_t* entries, uint32_t count) {
  uint64_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = entries + offset;
    const uint16_t mode = LoadLe16(entry + kStoredModeOffset);
    const uint32_t size = LoadLe32(entry + 4);
    const uint16_t type = mode & kModeTypeMask;
    const bool valid = mode == 0 || type == kModeRegular || (type == kModeFolder && size == 0) ||
                       (type == kModeLink && size > 0 && size <= kLinkTargetMax);
    if (!valid) return false;
    offset += kEntryFixedSize + entry[8];
  }
  return true;
}

// Makes room for entry index, growing the table in steps of 2000 records.
Result ReserveEntry(FileTable* files, uint32_t index, Faults* faults) {
  uint32_t capacity = files->capacity;
  if (files->records != nullptr && index + 10 <= capacity) return kOk;
  if (files->records == nullptr) capacity = kFileTableStart;
  while (index + 10 > capacity) capacity += kFileTableStep;
  FileRecord* grown = static_cast<FileRecord*>(realloc(files->records, sizeof(FileRecord) * capacity));
  if (grown == nullptr) {
    Result stop = NoteFault(faults, kStopNoTableMemory);
    snprintf(faults->first.text, sizeof faults->first.text, "No memory for registering %d more files",
             static_cast<int>(capacity));
    return stop;
  }
  memset(grown + files->capacity, 0, sizeof(FileRecord) * (capacity - files->capacity));
  files->records = grown;
  files->capacity = capacity;
  return kOk;
}

}  // namespace

void ReleaseFileTable(FileTable* files) {
  free(files->records);
  free(files->names);
  *files = FileTable{nullptr, nullptr, 0, 0};
}

// Reads the packed header into a buffer that grows with the bytes that really
// arrive, so that a damaged length cannot make the stub reserve gigabytes for
// a short file. *got tells how many arrived. Returns false only when memory
// runs out.
static bool ReadPacked(FILE* file, uint32_t length, uint8_t** out, uint32_t* got) {
  size_t capacity = length < 65536u ? length : 65536u;
  uint8_t* buffer = static_cast<uint8_t*>(calloc(capacity + 1, 1));
  *got = 0;
  while (buffer != nullptr) {
    const uint32_t want = static_cast<uint32_t>(capacity) - *got;
    const uint32_t read = ReadBytes(file, buffer + *got, want);
    *got += read;
    if (read < want || *got == length) break;
    const size_t grown = capacity * 2 < length ? capacity * 2 : length;
    uint8_t* bigger = static_cast<uint8_t*>(realloc(buffer, grown + 1));
    if (bigger == nullptr) {
      free(buffer);
      buffer = nullptr;
      break;
    }
    memset(bigger + capacity, 0, grown + 1 - capacity);
    buffer = bigger;
    capacity = grown;
  }
  *out = buffer;
  return buffer != nullptr;
}

// Registers the checked entries in the table. The entry buffer becomes the
// table's name arena: each name stays where it was unpacked and is ended in
// place by a zero over the first byte of the entry behind it, which is read
// before it is overwritten. The buffer holds at least unpacked + 1 bytes.
static Result RegisterEntries(uint8_t* entries, uint32_t count, bool unixModes, FileTable* files,
                              Faults* faults) {
  free(files->names);
  files->names = reinterpret_cast<char*>(entries);
  uint32_t offset = 0;
  uint8_t firstByte = entries[0];  // of the entry at offset, saved before the zero above it
  for (uint32_t i = 0; i < count; ++i) {
    Result room = ReserveEntry(files, i, faults);
    if (!room.ok()) return room;
    uint8_t* entry = entries + offset;
    const uint32_t nameLength = entry[8];
    FileRecord& record = files->records[i];
    record.time = (LoadLe32(entry) & ~0xFFu) | firstByte;
    record.size = LoadLe32(entry + 4);
    record.attributes = entry[9];
    record.mode = unixModes ? LoadLe16(entry + kStoredModeOffset) : 0;
    record.name = reinterpret_cast<const char*>(entry + kEntryFixedSize);
    offset += kEntryFixedSize + nameLength;
    firstByte = entries[offset];
    entries[offset] = 0;
  }
  files->count = count;
  return kOk;
}

namespace {

// The memory of one reading of the solid header, released together whatever
// step the reading ends at.
struct HeaderWork {
  TreePool pool;
  uint8_t* packed;        // packedLength bytes and a zero
  uint8_t* entries;       // the unpacked entries, until the file table takes them
  uint32_t packedLength;
};

void ReleaseHeaderWork(HeaderWork* work) {
  free(work->packed);
  free(work->entries);
  ReleaseTreePool(&work->pool);
}

// The low 16 bits of the CRC-32 of the first `got` bytes followed by zero
// bytes up to `length`.
uint16_t Crc16WithZeros(const uint8_t* bytes, uint32_t got, uint32_t length) {
  uint32_t state = 0xFFFFFFFFu;
  Crc32Update(bytes, got, &state);
  // Go on from the register, not from the finished CRC.
  state = ~Crc32OverZeros(~state, length - got);
  return static_cast<uint16_t>(state & 0xFFFFu);
}

// Reads the packed header into work->packed. One cut short is error 6; when
// the run goes on, its missing bytes read as zeros, as in a buffer reserved
// for the full length, and the check runs over the full length. The buffer
// grows to that length only when the check holds, so a damaged length still
// reserves nothing. False when memory runs out; *damaged when the header
// cannot be unpacked.
bool ReadPackedHeader(FILE* file, uint16_t check, Faults* faults, HeaderWork* work, Result* result,
                      bool* damaged) {
  uint32_t got = 0;
  if (!ReadPacked(file, work->packedLength, &work->packed, &got)) return false;
  if (got == work->packedLength) return true;
  Result shortRead = NoteFault(faults, kHeaderError, "", ftell(file));
  if (result->ok()) *result = shortRead;
  *damaged = !faults->goOn || work->packedLength - got > kMaxMissingHeaderBytes ||
             Crc16WithZeros(work->packed, got, work->packedLength) != check;
  if (*damaged) return true;
  uint8_t* whole = static_cast<uint8_t*>(realloc(work->packed, static_cast<size_t>(work->packedLength) + 1));
  if (whole == nullptr) return false;
  memset(whole + got, 0, static_cast<size_t>(work->packedLength) + 1 - got);
  work->packed = whole;
  return true;
}

// Unpacks the packed header into work->entries (at most `budget` bytes and
// one per packed bit) and checks it: *damaged when the check fails, the
// packed bytes ask for more than the buffer holds, or `count` entries do not
// fit the unpacked bytes. False when memory runs out.
bool UnpackChecked(uint32_t count, uint16_t check, uint64_t budget, bool unixModes, HeaderWork* work,
                   uint32_t* unpacked, bool* damaged) {
  const uint64_t bits = static_cast<uint64_t>(work->packedLength) * 8;
  const uint64_t entryLimit = budget < bits ? budget : bits;
  if (entryLimit + kPaddingSlack > kMaxHeaderBuffer) return false;
  const uint32_t entrySize = static_cast<uint32_t>(entryLimit) + kPaddingSlack;
  work->entries = static_cast<uint8_t*>(calloc(entrySize, 1));
  if (work->entries == nullptr) return false;
  *unpacked = UnpackHeader(work->packedLength, work->packed, work->entries, entrySize, work->pool.trees);
  // A full entry buffer means the packed bytes asked for more than it holds.
  *damaged = Crc16Of(work->packed, work->packedLength) != check || *unpacked == entrySize ||
             !EntriesFit(work->entries, *unpacked, count) || (unixModes && !ModesValid(work->entries, count));
  return true;
}

// Reads everything behind the file count, checks and unpacks it and registers
// the entries. What it reserves stays in work for the caller to release.
Result ReadEntries(FILE* file, uint32_t count, bool unixModes, FileTable* files, Faults* faults,
                   HeaderWork* work) {
  if (2 * static_cast<uint64_t>(count) * kEntryBudget > kMaxHeaderReservation) return Result{kSilentFailure};
  Result result = ReserveEntry(files, 0, faults);
  if (!result.ok()) return result;
  files->count = 0;
  uint16_t check = 0;
  if (!ReadU16(file, &check) || !ReadU32(file, &work->packedLength)) {
    result = NoteFault(faults, kHeaderError, "", ftell(file));
    if (!faults->goOn) return result;
  }
  // Every entry takes at least 16 unpacked bytes and every unpacked byte at
  // least one packed bit: a count or a packed length that the other cannot
  // match is damage, refused before any buffer is sized from it.
  const uint64_t budget = static_cast<uint64_t>(count) * kEntryBudget;
  bool damaged = work->packedLength > budget ||
                 static_cast<uint64_t>(count) * kEntryFixedSize > static_cast<uint64_t>(work->packedLength) * 8;
  uint32_t unpacked = 0;
  const bool haveMemory =
      damaged || (ReadPackedHeader(file, check, faults, work, &result, &damaged) &&
                  (damaged || UnpackChecked(count, check, budget, unixModes, work, &unpacked, &damaged)));
  if (!haveMemory) return result.ok() ? Result{kSilentFailure} : result;
  if (damaged) {
    Result bad = NoteFault(faults, kHeaderError, "", ftell(file));
    return result.ok() ? bad : result;
  }
  // Only the unpacked bytes and the zero behind them are kept.
  uint8_t* kept = static_cast<uint8_t*>(realloc(work->entries, static_cast<size_t>(unpacked) + 1));
  if (kept != nullptr) work->entries = kept;
  // A header that passes its check is read, also after a short read that
  // the run went on from (that error stays noted in faults).
  Result registered = RegisterEntries(work->entries, count, unixModes, files, faults);
  work->entries = nullptr;  // the table's name arena now
  return registered;
}

}  // namespace

Result ReadSolidHeader(FILE* file, FileTable* files, Faults* faults, bool unixModes) {
  files->count = 0;
  uint32_t count = 0;
  if (!ReadU32(file, &count)) count = 0xFFFFFFFFu;
  HeaderWork work = {};
  if (!ReserveTreePool(&work.pool)) return NoteFault(faults, kStopNoTreePool);
  Result result = ReadEntries(file, count, unixModes, files, faults, &work);
  ReleaseHeaderWork(&work);
  return result;
}
