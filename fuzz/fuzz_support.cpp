#include "fuzz/fuzz_support.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

Engine gEngines[kProfileCount];

std::string gWorkFolder;

int RemoveAny(const char* path, const struct stat*, int, struct FTW*) { return remove(path), 0; }

void RemoveWorkFolder() {
  if (!gWorkFolder.empty()) nftw(gWorkFolder.c_str(), RemoveAny, 16, FTW_DEPTH | FTW_PHYS);
}

// In memory (/dev/shm) where there is such a file system: an input written
// there costs no disk work.
const std::string& WorkFolder() {
  if (gWorkFolder.empty()) {
    struct stat st;
    const char* base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    gWorkFolder = std::string(base) + "/dolmfuzz-" + std::to_string(getpid()) + "/";
    if (mkdir(gWorkFolder.c_str(), 0700) != 0) gWorkFolder = "/tmp/dolmfuzz-" + std::to_string(getpid()) + "/";
    mkdir(gWorkFolder.c_str(), 0700);
    atexit(RemoveWorkFolder);
  }
  return gWorkFolder;
}

}  // namespace

Engine* FuzzEngine(uint8_t index) {
  Engine* engine = &gEngines[index % kProfileCount];
  if (engine->window == nullptr) {
    Faults faults;
    ClearFaults(&faults, false);
    if (!LoadSizeProfile(engine, index % kProfileCount, &faults).ok()) abort();
  }
  return engine;
}

Engine* FuzzEngineFor(const uint8_t* header) {
  const uint8_t index = ProfileIndexOf(header);
  return FuzzEngine(SolidFlagOf(header) == 0 || index >= kProfileCount ? 0 : index);
}

void FuzzClearWindow(Engine* engine, const Expansion& expansion) {
  const uint64_t written = expansion.produced + expansion.windowPos;
  memset(engine->window, 0, written < engine->windowSize ? written : engine->windowSize);
}

std::string FuzzWriteInput(const char* name, const uint8_t* data, size_t size) {
  std::string path = WorkFolder() + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) abort();
  if (size != 0 && fwrite(data, 1, size, file) != size) abort();
  fclose(file);
  return path;
}

FILE* FuzzOpenBytes(const uint8_t* data, size_t size) {
  // fmemopen refuses a buffer of size 0; an empty file is a stream at its end.
  static uint8_t none[1];
  FILE* file = size != 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : fmemopen(none, 1, "rb");
  if (file == nullptr) abort();
  if (size == 0) fgetc(file);
  return file;
}

// ---- the output in memory ---------------------------------------------------------

namespace {

Result OpenMemory(void* self, uint32_t index, const FileRecord& record, bool* write) {
  MemoryOutput* out = static_cast<MemoryOutput*>(self);
  if (out->open || static_cast<int64_t>(index) <= out->lastIndex) abort();
  out->lastIndex = index;
  *write = false;
  if (out->paths) {
    if (!TargetPathFor(out->folder, out->optionWord, record.name, out->target))
      return NoteFault(out->faults, kErrorCannotOpen, out->target);
    // Every target is formed below the extraction folder's text.
    if (strncmp(out->target, out->folder, strlen(out->folder)) != 0) abort();
    // A name met before is a file that exists: the question is answered No
    // (as with no one to ask) unless every file is overwritten.
    if (OptionField(out->optionWord, kOverWriteExistingFiles) == 0 && IsWrittenPath(&out->written, out->target))
      return kOk;
    RecordWrittenPath(&out->written, out->target);
  } else {
    snprintf(out->target, sizeof out->target, "%s", record.name);
  }
  out->open = true;
  out->openIndex = index;
  out->fileStart = out->total;
  ++out->opened;
  *write = true;
  return kOk;
}

Result WriteMemory(void* self, const uint8_t* bytes, uint32_t count) {
  MemoryOutput* out = static_cast<MemoryOutput*>(self);
  if (!out->open || count == 0) abort();
  uint32_t fits = count;
  if (out->total + count > out->room) fits = static_cast<uint32_t>(out->room - out->total);
  if (out->total < kMemoryBytes) {
    const uint64_t keep = kMemoryBytes - out->total < fits ? kMemoryBytes - out->total : fits;
    memcpy(out->bytes + out->total, bytes, keep);
  }
  out->total += fits;
  if (fits < count) return NoteFault(out->faults, kErrorWriteFailed, out->target, -1, ENOSPC);
  return kOk;
}

Result FinishMemory(void* self, uint32_t index, const FileRecord& record, bool complete) {
  MemoryOutput* out = static_cast<MemoryOutput*>(self);
  if (!out->open || index != out->openIndex) abort();
  // A stored size of 2^31 or more runs the stub's signed count of owed bytes
  // below zero: the file ends at once, as the stub's flush rule has it.
  if (complete && record.size <= 0x7FFFFFFFu && out->total - out->fileStart != record.size) abort();
  out->open = false;
  ++out->finished;
  return kOk;
}

void RemoveMemory(void* self) {
  MemoryOutput* out = static_cast<MemoryOutput*>(self);
  if (!out->open) abort();
  out->total = out->fileStart;
  out->open = false;
  ++out->removed;
}

}  // namespace

void StartMemoryOutput(MemoryOutput* out, Faults* faults, uint64_t room) {
  if (out->bytes == nullptr) {
    out->bytes = static_cast<uint8_t*>(malloc(kMemoryBytes));
    if (out->bytes == nullptr) abort();
  }
  // The path record keeps its memory; only its entries go.
  out->written.used = 0;
  out->written.count = 0;
  out->written.sorted = true;
  out->faults = faults;
  out->room = room;
  out->total = 0;
  out->fileStart = 0;
  out->lastIndex = -1;
  out->open = false;
  out->opened = out->finished = out->removed = 0;
  out->target[0] = '\0';
}

OutputSink MemorySink(MemoryOutput* out) {
  return OutputSink{out, OpenMemory, WriteMemory, FinishMemory, RemoveMemory};
}

void EndMemoryOutput(const MemoryOutput& out) {
  if (out.open || out.finished + out.removed != out.opened) abort();
}
