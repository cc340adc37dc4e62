// The file loop: the blocks are expanded one after the other into the window
// (expand.cpp), and at every flush the window's bytes go to the stored files
// in table order by their stored sizes; a file is finished when its last byte
// is written and the next one opened.
#include <cstring>

#include "format/format.h"
#include "engine/engine.h"
#include "output/output.h"

namespace {

// An output failure: noted, and unless the run goes on after errors, the
// expansion halts and the open file is removed. When it goes on, the current
// file is closed as it stands and its remaining bytes are passed over.
// Cancel halts whatever the run's policy.
bool OutputFailed(Expansion* x, Result failure) {
  const bool goOn = x->faults->goOn && failure.error != kStopCancelled;
  if (x->fileOpen) {
    if (goOn) {
      Result closed = x->sink.finish(x->sink.self, x->nextFile - 1, x->files->records[x->nextFile - 1], false);
      (void)closed;  // the failure that led here is the one that counts
    } else {
      x->sink.remove(x->sink.self);
    }
    x->fileOpen = false;
  }
  x->writing = false;
  if (goOn) return true;
  x->halted = true;
  x->failure = failure;
  return false;
}

bool WriteOut(Expansion* x, uint32_t start, uint32_t length) {
  if (!x->writing || !x->fileOpen || length == 0) return true;
  Result written = x->sink.write(x->sink.self, x->engine->window + start, length);
  return written.ok() || OutputFailed(x, written);
}

bool FinishCurrent(Expansion* x) {
  if (!x->writing || !x->fileOpen) return true;
  x->fileOpen = false;
  const uint32_t index = x->nextFile - 1;
  Result finished = x->sink.finish(x->sink.self, index, x->files->records[index], true);
  return finished.ok() || OutputFailed(x, finished);
}

// Opens the next file of the table; a file that cannot be opened is passed
// over (its error noted) when the run goes on after errors.
bool OpenNext(Expansion* x) {
  const uint32_t index = x->nextFile;
  bool write = true;
  Result opened = x->sink.open(x->sink.self, index, x->files->records[index], &write);
  ++x->nextFile;
  ++x->filesStarted;
  x->writing = opened.ok() && write;
  x->fileOpen = x->writing;
  if (opened.ok()) return true;
  if (opened.error == kStopCancelled || !x->faults->goOn) {
    x->halted = true;
    x->failure = opened;
    return false;
  }
  return true;
}

}  // namespace

void StartExpansion(Expansion* x, Engine* engine, const FileTable* files, OutputSink sink,
                    Faults* faults) {
  std::memset(x, 0, sizeof *x);
  x->engine = engine;
  x->files = files;
  x->sink = sink;
  x->faults = faults;
  x->failure = kOk;
}

Result BeginFiles(Expansion* x, FILE* archive) {
  x->nextFile = 0;
  x->filesStarted = 0;
  x->remaining = 0;
  x->writing = false;
  if (x->files->count > 0) {
    x->remaining = static_cast<int32_t>(x->files->records[0].size);
    if (!OpenNext(x)) return x->failure;
  }
  return ExpandBlocks(x, archive);
}

namespace {

// The blocks from the source, each expanded in turn; the last one's window
// is flushed.
Result ExpandFromSource(Expansion* x, BlockSource* source) {
  Result result = TakeBlock(source, &x->block, x->faults);
  if (!result.ok()) return result;
  for (;;) {
    uint32_t validBits = x->block.lastBits;
    const bool last = validBits > 8;
    if (last) validBits -= kLastBlockMark;
    result = ExpandOneBlock(x, validBits);
    if (x->halted) return x->failure;
    // A block that asks for more stream bytes than it holds is treated like a damaged block.
    if (!result.ok()) {
      result = NoteFault(x->faults, kErrorDamaged, "", source->end);
      if (!x->faults->goOn) return result;
      break;
    }
    if (last) break;
    result = TakeBlock(source, &x->block, x->faults);
    if (!result.ok() && !x->faults->goOn) return result;
    if (!result.ok()) break;
  }
  FlushWindow(x, x->windowPos);
  x->windowPos = 0;
  return x->halted ? x->failure : result;
}

}  // namespace

Result ExpandBlocks(Expansion* x, FILE* archive) {
  x->windowPos = 0;
  // Without a window (an engine that reserved none) there is nothing to rebuild into.
  if (x->engine->window == nullptr || x->engine->windowSize == 0) return kOk;
  BlockSource source;
  OpenBlockSource(&source, archive, x->engine, x->stages);
  Result result = ExpandFromSource(x, &source);
  CloseBlockSource(&source);
  return result;
}

bool FlushWindow(Expansion* x, uint32_t n) {
  if (n == 0 || x->halted) return !x->halted;
  x->produced += n;
  const int64_t left = static_cast<int64_t>(x->remaining) - n;
  if (left > 0) {
    x->remaining = static_cast<int32_t>(left);
    return WriteOut(x, 0, n);
  }

  // The current file ends within these n bytes: r of them are still its own
  // (clamped, so that a size beyond the signed range cannot reach outside).
  int64_t owed = left + n;
  if (owed < 0) owed = 0;
  const uint32_t r = static_cast<uint32_t>(owed);
  x->remaining = static_cast<int32_t>(r);
  if (!WriteOut(x, 0, r)) return false;
  if (x->nextFile > 0 && !FinishCurrent(x)) return false;

  uint32_t used = 0;
  while (x->nextFile < x->files->count) {
    const uint32_t size = x->files->records[x->nextFile].size;
    if (!OpenNext(x)) return false;
    const uint32_t avail = n - r - used;
    if (size > avail) {
      x->remaining = static_cast<int32_t>(size - avail);
      return WriteOut(x, r + used, avail);
    }
    if (!WriteOut(x, r + used, size) || !FinishCurrent(x)) return false;
    used += size;
  }
  // Bytes past the last file: an inspection stops here rather than expand
  // whatever more the blocks hold.
  if (x->stopPastFiles && r + used < n) {
    x->halted = true;
    x->failure = NoteFault(x->faults, kErrorInconsistent);
    return false;
  }
  return true;
}

bool FinishEmptyTail(Expansion* x) {
  if (x->halted) return false;
  // A file whose bytes did not all arrive stays open as it is, and the files
  // after it are not created.
  if (x->nextFile > 0 && x->remaining != 0) return true;
  if (x->nextFile > 0 && !FinishCurrent(x)) return false;
  while (x->nextFile < x->files->count && x->files->records[x->nextFile].size == 0) {
    if (!OpenNext(x) || !FinishCurrent(x)) return false;
  }
  return true;
}

Result EndExpansion(Expansion* x, HalfFile halfFile) {
  if (!x->fileOpen) return kOk;
  x->fileOpen = false;
  x->writing = false;
  if (halfFile == HalfFile::kRemove) {
    x->sink.remove(x->sink.self);
    return kOk;
  }
  const uint32_t index = x->nextFile - 1;
  return x->sink.finish(x->sink.self, index, x->files->records[index], false);
}
