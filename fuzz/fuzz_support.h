// Shared by the fuzz targets: one engine per size profile kept for the whole
// process, the input as a file (a path or a stream over the bytes), and an
// output that keeps the extracted bytes in memory and checks how the
// expansion drives it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "container/container.h"
#include "format/format.h"
#include "engine/engine.h"
#include "output/output.h"

// The engine of profile index (0..8), loaded on first use and kept: its window
// holds exactly the 2 * W bytes of that profile, so that the sanitizers see
// any access beyond it, and no input reserves decoder memory anew.
Engine* FuzzEngine(uint8_t index);
// The engine that PrepareDecoder loads for an archive header: its own
// profile, or profile 0 for a header that names none.
Engine* FuzzEngineFor(const uint8_t* header);
// Puts back to zero the part of the engine's window an expansion could have
// written (positions below produced + windowPos, all of the window once it
// wrapped), so that every input meets the window a fresh process would.
void FuzzClearWindow(Engine* engine, const Expansion& expansion);

// Writes the input to a file of this process below /dev/shm or /tmp (the
// same file for every input of a target) and returns its path; the folder is
// removed at exit.
std::string FuzzWriteInput(const char* name, const uint8_t* data, size_t size);
// A read-only stream over the input bytes (fmemopen; an empty input reads as
// a file at its end).
FILE* FuzzOpenBytes(const uint8_t* data, size_t size);

// An output in memory. It keeps the first kMemoryBytes of what is written (the
// rest is counted only), refuses a write beyond `room` bytes in all as a full
// disk does (error 3 with ENOSPC), and with paths set forms every target path
// below folder as the stub's disk output does and records it. Every call is
// checked against the order the expansion promises (files opened in rising
// index order one at a time, written only while open, finished complete only
// with exactly their stored size); a broken promise aborts.
constexpr uint32_t kMemoryBytes = 1u << 20;
struct MemoryOutput {
  Faults* faults;
  uint64_t room;          // bytes accepted in all before writes fail
  bool paths;             // form and record target paths (the stub's run)
  const char* folder;     // with paths: the extraction folder
  uint32_t optionWord;    // with paths: recreate folders, overwrite
  WrittenRecord written;  // with paths: every target opened
  uint8_t* bytes;         // kMemoryBytes, reserved once
  uint64_t total;         // bytes accepted since the run started
  uint64_t fileStart;     // total when the open file was opened
  int64_t lastIndex;      // index of the last file opened, -1 before the first
  uint32_t openIndex;
  bool open;
  uint32_t opened, finished, removed;
  char target[kPathSize];
};
// Makes out ready for a new run (the buffer and the path record are kept).
void StartMemoryOutput(MemoryOutput* out, Faults* faults, uint64_t room);
OutputSink MemorySink(MemoryOutput* out);
// The checks that hold at the end of a run: no file is left open.
void EndMemoryOutput(const MemoryOutput& out);

// Little-endian field from the front of an input.
inline uint32_t FuzzLe32(const uint8_t* p) { return LoadLe32(p); }
