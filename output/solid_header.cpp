// The solid header and the file table: reads the list of stored files, checks
// it, unpacks it with the order-1 context splay decoder and registers every
// file in the table that the expansion and the file output read.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "output/output.h"
#include "platform/platform.h"
#include "startup/startup.h"

// The file table. Invariants: records is null and capacity 0 until the first
// InitFileTable; afterwards records holds capacity entries (3000 + k × 2000)
// and is never released; count <= capacity, and records 0..count-1 are the
// files of the last solid header read successfully.
FileTable gFiles = {nullptr, 0, 0};

namespace {

constexpr uint32_t kTreeCount = 256;
constexpr uint32_t kRoot = 1;
constexpr uint32_t kFirstLeaf = 256;
constexpr uint32_t kNameSize = 260;
constexpr int16_t kHeaderError = 6;
// Padding bits of the last packed byte can decode up to 7 extra symbols behind
// the entries; the entry buffer has room for them and one byte more, so that
// a full buffer always means "more output than any header can hold".
constexpr uint32_t kPaddingSlack = 8;
// Largest header buffer tried: beyond it a count is treated like a
// reservation that failed (a 32-bit address space could not hold it either).
constexpr uint64_t kMaxHeaderBuffer = 0xFFFFFFFFull;

// The tree pool of the context splay decoder. Invariant: either all 256
// pointers are null (no pool) or all point to reserved trees.
struct SolidHeaderState {
  SplayTree* trees[kTreeCount];
};
SolidHeaderState gHeader = {{}};

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reserves the 256 trees one by one; a failure aborts the process (exit code 3).
void ReserveTreePool() {
  for (uint32_t i = 0; i < kTreeCount; ++i) {
    gHeader.trees[i] = static_cast<SplayTree*>(malloc(sizeof(SplayTree)));
    if (gHeader.trees[i] == nullptr) abort();
  }
}

void ReleaseTreePool() {
  for (uint32_t i = 0; i < kTreeCount; ++i) {
    free(gHeader.trees[i]);
    gHeader.trees[i] = nullptr;
  }
}

// Checks that `count` entries lie wholly inside the first `size` bytes of the
// unpacked data. Returns 0 when they do.
int CheckEntries(const uint8_t* entries, uint32_t size, uint32_t count) {
  uint64_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (offset + kEntryFixedSize > size) return 1;
    const uint32_t nameLength = entries[offset + 8];
    offset += kEntryFixedSize + nameLength;
    if (offset > size) return 1;
  }
  return 0;
}

}  // namespace

int InitFileTable() {
  if (gFiles.records != nullptr) return 0;
  gFiles.records = static_cast<FileRecord*>(calloc(kFileTableStart, sizeof(FileRecord)));
  if (gFiles.records == nullptr) {
    // The first reservation failing is handled like a table that cannot grow.
    printf("No memory for registering %d more files", static_cast<int>(kFileTableStart));
    fflush(stdout);
    PlatformExitProcess(0);
  }
  gFiles.capacity = kFileTableStart;
  gFiles.count = 0;
  return 0;
}

void ReserveEntry(uint32_t index) {
  if (gFiles.records == nullptr) InitFileTable();
  // One step per call in stored order; the loop only matters for a caller
  // that skips ahead, and keeps every index inside the table.
  while (index > gFiles.capacity - 10) {
    const uint32_t capacity = gFiles.capacity + kFileTableStep;
    FileRecord* grown =
        static_cast<FileRecord*>(realloc(gFiles.records, sizeof(FileRecord) * capacity));
    if (grown == nullptr) {
      printf("No memory for registering %d more files", static_cast<int>(capacity));
      fflush(stdout);
      PlatformExitProcess(0);
    }
    memset(grown + gFiles.capacity, 0, sizeof(FileRecord) * kFileTableStep);
    gFiles.records = grown;
    gFiles.capacity = capacity;
  }
}

void RegisterFile(uint32_t index, const char* name, uint32_t size, uint32_t time,
                  uint8_t attributes) {
  ReserveEntry(index);
  FileRecord& record = gFiles.records[index];
  memset(record.name, 0, sizeof record.name);
  memcpy(record.name, name, strnlen(name, sizeof record.name - 1));
  record.size = size;
  record.time = time;
  record.attributes = attributes;
}

void ResetSplayTree(SplayTree* tree) {
  for (uint32_t j = 2; j < 2 * kFirstLeaf; ++j) tree->up[j] = static_cast<uint16_t>(j >> 1);
  for (uint32_t i = 1; i < kFirstLeaf; ++i) {
    tree->left[i] = static_cast<uint16_t>(2 * i);
    tree->right[i] = static_cast<uint16_t>(2 * i + 1);
  }
  tree->left[0] = tree->right[0] = 0;
  tree->up[0] = tree->up[1] = 0;
}

// Semi-splay of leaf 256 + s: the node and its parent's sibling change
// places, and the walk goes on from the grandparent.
void SplaySymbol(SplayTree* tree, int s) {
  uint32_t a = kFirstLeaf + (static_cast<uint32_t>(s) & 0xFF);
  for (;;) {
    const uint32_t p = tree->up[a];
    if (p == kRoot) return;
    const uint32_t g = tree->up[p];
    uint32_t b;
    if (tree->right[g] == p) {
      b = tree->left[g];
      tree->left[g] = static_cast<uint16_t>(a);
    } else {
      b = tree->right[g];
      tree->right[g] = static_cast<uint16_t>(a);
    }
    if (tree->left[p] == a)
      tree->left[p] = static_cast<uint16_t>(b);
    else
      tree->right[p] = static_cast<uint16_t>(b);
    tree->up[b] = static_cast<uint16_t>(p);
    tree->up[a] = static_cast<uint16_t>(g);
    a = g;
    if (a == kRoot) return;
  }
}

// Decodes every bit of the packed bytes (least significant first), padding
// included. Stops when the output buffer is full; the caller that needs to
// know whether more was asked for gives a buffer larger than any valid result.
uint32_t UnpackHeader(uint32_t packedLength, const uint8_t* packed, uint8_t* output,
                      uint32_t outputSize) {
  const bool ownPool = gHeader.trees[0] == nullptr;
  if (ownPool) ReserveTreePool();
  for (uint32_t i = 0; i < kTreeCount; ++i) ResetSplayTree(gHeader.trees[i]);

  uint32_t context = 0, node = kRoot, produced = 0;
  for (uint32_t i = 0; i < packedLength && produced < outputSize; ++i) {
    const uint32_t byte = packed[i];
    for (int bit = 0; bit < 8; ++bit) {
      const SplayTree* tree = gHeader.trees[context];
      node = ((byte >> bit) & 1u) ? tree->right[node] : tree->left[node];
      if (node >= kFirstLeaf) {
        const uint32_t s = node - kFirstLeaf;
        SplaySymbol(gHeader.trees[context], static_cast<int>(s));
        output[produced++] = static_cast<uint8_t>(s);
        context = s;
        node = kRoot;
        if (produced == outputSize) break;
      }
    }
  }

  if (ownPool) ReleaseTreePool();
  return produced;
}

// Reads the packed header into a buffer that grows with the bytes that really
// arrive, so that a damaged length cannot make the stub reserve gigabytes for
// a short file. Returns 1 only when memory runs out.
static int ReadPacked(uint32_t length, uint8_t** out, uint32_t* got) {
  size_t capacity = length < 65536u ? length : 65536u;
  uint8_t* buffer = static_cast<uint8_t*>(calloc(capacity + 1, 1));
  *got = 0;
  while (buffer != nullptr) {
    const uint32_t want = static_cast<uint32_t>(capacity) - *got;
    const uint32_t read = ReadBytes(buffer + *got, want);
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
  return buffer == nullptr ? 1 : 0;
}

int ReadSolidHeader() {
  uint32_t count = 0;
  if (ReadU32(&count) != 0) count = 0xFFFFFFFFu;

  char status[64];
  snprintf(status, sizeof status, " Melting solid header [%d files] ", static_cast<int>(count));
  StatusText(status);

  ReserveTreePool();

  gFiles.count = 0;
  uint16_t check = 0;
  uint32_t packedLength = 0;
  if (ReadU16(&check) != 0) ReportError(kHeaderError, nullptr);
  if (ReadU32(&packedLength) != 0) ReportError(kHeaderError, nullptr);

  // Every entry takes at least 16 unpacked bytes and every unpacked byte at
  // least one packed bit: a count or a packed length that the other cannot
  // match is damage, refused before any buffer is sized from it.
  const uint64_t budget = static_cast<uint64_t>(count) * kEntryBudget;
  int damaged = packedLength > budget ||
                static_cast<uint64_t>(count) * kEntryFixedSize > static_cast<uint64_t>(packedLength) * 8;
  uint8_t* packed = nullptr;
  uint8_t* entries = nullptr;
  uint32_t got = 0;
  uint64_t entryLimit = 0;  // unpacked bytes allowed: the budget, and at most one per packed bit
  if (!damaged) {
    const int noMemory = ReadPacked(packedLength, &packed, &got);
    entryLimit = budget < static_cast<uint64_t>(got) * 8 ? budget : static_cast<uint64_t>(got) * 8;
    if (noMemory != 0 || entryLimit + kPaddingSlack > kMaxHeaderBuffer ||
        (entries = static_cast<uint8_t*>(calloc(static_cast<size_t>(entryLimit) + kPaddingSlack, 1))) == nullptr) {
      free(packed);
      ReleaseTreePool();
      return 1;
    }
  }

  uint32_t unpacked = 0;
  if (!damaged) {
    if (got < packedLength) {
      ReportError(kHeaderError, nullptr);
      packedLength = got;  // go on with what arrived; the check normally fails
    }
    const uint32_t entrySize = static_cast<uint32_t>(entryLimit) + kPaddingSlack;
    unpacked = UnpackHeader(packedLength, packed, entries, entrySize);
    if (Crc16Of(packed, packedLength) != check) {
      StatusText(" Result : [CRC Failed]");
      damaged = 1;
    } else {
      StatusText(" Result : [CRC Ok] ");
      // A full entry buffer means the packed bytes asked for more than it holds.
      damaged = unpacked == entrySize || CheckEntries(entries, unpacked, count) != 0;
    }
  }

  if (!damaged) {
    uint32_t offset = 0;
    char name[kNameSize];
    for (uint32_t i = 0; i < count; ++i) {
      ReserveEntry(i);
      const uint8_t* entry = entries + offset;
      const uint32_t nameLength = entry[8];
      memset(name, 0, sizeof name);
      memcpy(name, entry + kEntryFixedSize, nameLength);
      offset += kEntryFixedSize + nameLength;
      RegisterFile(i, name, LoadU32(entry + 4), LoadU32(entry), entry[9]);
    }
    gFiles.count = count;
  }

  free(packed);
  free(entries);
  ReleaseTreePool();
  if (damaged) {
    ReportError(kHeaderError, nullptr);
    return 1;
  }
  return 0;
}
