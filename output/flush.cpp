// The file loop: the blocks are expanded one after the other into the window
// (expand.cpp), and at every flush the window's bytes go to the stored files
// in table order by their stored sizes; a file is finished when its last byte
// is written and the next one opened.
#include <cstdio>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "output/output.h"
#include "startup/startup.h"

// Expansion state. Invariants: windowPos < W between items (a full window is
// flushed at once); outputFile is either null or the open file of table
// index nextFile - 1; remaining counts the bytes that file is still owed
// (only meaningful while nextFile > 0); currentName is NUL-terminated.
ExpandState gExpand = {0, {}, 0, 0, 1, nullptr, 0};

namespace {

constexpr uint32_t kNameSize = 260;
constexpr int kDisplayWidth = 64;
constexpr int16_t kDamagedBlock = 2;

void TakeName(uint32_t index) {
  memset(gExpand.currentName, 0, sizeof gExpand.currentName);
  const char* name = gFiles.records[index].name;
  memcpy(gExpand.currentName, name, strnlen(name, kNameSize - 1));
}

void WriteOut(uint32_t start, uint32_t length) {
  if (gExpand.outputFile == nullptr || length == 0) return;
  fwrite(gDecoder.window + start, 1, length, gExpand.outputFile);
}

int OverallPercent() {
  if (gFiles.count == 0) return 0;
  return static_cast<int>(static_cast<uint64_t>(gExpand.nextFile) * 100u / gFiles.count);
}

// Progress of a completed file; `format` is " %s" or "%s".
void ReportFileDone(const char* format) {
  char fileText[kNameSize + 8];
  char line[kNameSize + 16];
  snprintf(fileText, sizeof fileText, format, ShortenForDisplay(gExpand.currentName, kDisplayWidth));
  snprintf(line, sizeof line, "Melting %s", fileText);
  StatusLine(line, " ", " ", " ", OverallPercent());
}

// Progress of a file that goes on in a later flush.
void ReportFileProgress() {
  char fileText[kNameSize + 8];
  char line[kNameSize + 16];
  char figure[24];
  const uint32_t size = gFiles.records[gExpand.nextFile - 1].size;
  const uint32_t done = size - static_cast<uint32_t>(gExpand.remaining);
  const uint32_t perMille = PerMille(done, size);
  snprintf(figure, sizeof figure, "%2d.%d%c", static_cast<int>(perMille / 10),
           static_cast<int>(perMille % 10), '%');
  snprintf(fileText, sizeof fileText, "%s", gExpand.currentName);
  snprintf(line, sizeof line, "Melting %s", fileText);
  StatusLine(line, figure, " ", " ", OverallPercent());
}

}  // namespace

void BeginFiles() {
  gExpand.nextFile = 0;
  gExpand.filesStarted = 0;
  if (gFiles.count > 0) {
    TakeName(0);
    gExpand.remaining = static_cast<int32_t>(gFiles.records[0].size);
    gExpand.nextFile = 1;
    gExpand.filesStarted = 1;
    gExpand.writeFlag = 1;
    OpenTarget(gExpand.currentName);
  } else {
    gExpand.remaining = 0;
    gExpand.writeFlag = 0;
  }
  ExpandBlocks();
}

int ExpandBlocks() {
  gExpand.windowPos = 0;
  // Without a window (an archive that set none up) there is nothing to rebuild into.
  if (gDecoder.window == nullptr || gDecoder.windowSize == 0) return 0;
  if (ReadBlock() != 0) return 0;
  for (;;) {
    uint32_t validBits = gBlock.lastBits;
    const bool last = validBits > 8;
    if (last) validBits -= kLastBlockMark;
    // A block that asks for more stream bytes than it holds is treated like a damaged block.
    if (ExpandOneBlock(&gExpand.windowPos, validBits) != 0) {
      ReportError(kDamagedBlock, nullptr);
      break;
    }
    if (last || ReadBlock() != 0) break;
  }
  FlushWindow(gExpand.windowPos);
  gExpand.windowPos = 0;
  return 0;
}

void FlushWindow(uint32_t n) {
  if (n == 0) return;
  const int64_t left = static_cast<int64_t>(gExpand.remaining) - n;
  if (left > 0) {
    gExpand.remaining = static_cast<int32_t>(left);
    if (gExpand.writeFlag) {
      WriteOut(0, n);
      if (gExpand.nextFile > 0) ReportFileProgress();
    }
    return;
  }

  // The current file ends within these n bytes: r of them are still its own
  // (clamped, so that a size beyond the signed range cannot reach outside).
  int64_t owed = left + n;
  if (owed < 0) owed = 0;
  const uint32_t r = static_cast<uint32_t>(owed);
  gExpand.remaining = static_cast<int32_t>(r);
  if (gExpand.writeFlag) {
    WriteOut(0, r);
    if (gExpand.nextFile > 0) {
      ReportFileDone(" %s");
      FinishFile(gExpand.outputFile, gExpand.nextFile - 1, 1);
    }
  }

  uint32_t used = 0;
  while (gExpand.nextFile < gFiles.count) {
    TakeName(gExpand.nextFile);
    const uint32_t size = gFiles.records[gExpand.nextFile].size;
    gExpand.writeFlag = 1;
    OpenTarget(gExpand.currentName);
    ++gExpand.nextFile;
    ++gExpand.filesStarted;
    const uint32_t avail = n - r - used;
    if (size > avail) {
      if (gExpand.writeFlag) WriteOut(r + used, avail);
      gExpand.remaining = static_cast<int32_t>(size - avail);
      return;
    }
    if (gExpand.writeFlag) {
      WriteOut(r + used, size);
      ReportFileDone("%s");
      FinishFile(gExpand.outputFile, gExpand.nextFile - 1, 1);
    }
    used += size;
  }
}
