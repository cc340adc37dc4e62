// Window expansion: rebuilds the decompressed stream block by block in the
// window from the streams of the block reader, and at every flush cuts the
// window's bytes into the stored files in table order.
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

// The streams of the current block with their read limits. The cursors live
// in gBlock (the block reader sets them to 0); the limits are the decoded
// counts, never more than the stream buffers hold.
struct BlockInput {
  const uint8_t* literals;
  const uint8_t* lengths;
  const uint8_t* high;
  const uint8_t* middle;
  const uint16_t* low;  // null when w <= 8: the low bits are then 0
};

inline uint32_t Limit(uint32_t count) {
  return count < kStreamBufferSize ? count : kStreamBufferSize;
}

// Expands the flag bits of the current block into the window from *position.
// Returns 0, or 1 when the block asks for more stream bytes than it holds.
// Entry assumptions: *position < W, W a power of two, the window W bytes.
int ExpandOneBlock(uint32_t* position, uint32_t validBits) {
  const uint32_t windowSize = gDecoder.windowSize;
  const uint32_t mask = windowSize - 1;
  const uint32_t width = gDecoder.distanceWidth;
  const uint32_t minMatch = gDecoder.minMatch;
  const uint32_t k0 = minMatch == kMinMatch ? 3 : 2;
  const uint32_t middleShift = (width - 8) & 31;  // w = 7: a shift by 31
  uint8_t* window = gDecoder.window;
  const BlockInput in = {gDecoder.literalStream, gDecoder.lengthStream, gDecoder.highStream,
                         gDecoder.middleStream, width > 8 ? gDecoder.lowBitTable : nullptr};
  const uint32_t literalLimit = Limit(gBlock.literalCount);
  const uint32_t lengthLimit = Limit(gBlock.lengthCount);
  const uint32_t matchLimit = Limit(gBlock.matchCount);
  const uint32_t middleLimit = Limit(gBlock.middleCount);
  const uint32_t flagCount = Limit(gBlock.flagCount);
  uint32_t p = *position;

  for (uint32_t i = 0; i < flagCount; ++i) {
    const uint32_t flags = gDecoder.flagStream[i];
    const uint32_t bits = (i + 1 == flagCount && validBits != 0) ? validBits : 8;
    uint32_t b = 0;
    for (; b < bits; ++b) {
      if ((flags >> b) & 1u) {
        if (gBlock.literalCursor >= literalLimit) break;
        window[p] = in.literals[gBlock.literalCursor++];
        if (++p == windowSize) {
          FlushWindow(windowSize);
          p = 0;
        }
        continue;
      }
      // A match needs one byte of each distance stream and 1 or 3 length bytes.
      if (gBlock.highCursor >= matchLimit || gBlock.middleCursor >= middleLimit ||
          gBlock.lengthCursor >= lengthLimit)
        break;
      const uint32_t h = in.high[gBlock.highCursor++];
      const uint32_t m = in.middle[gBlock.middleCursor++];
      const uint32_t l = in.low ? (in.low[gBlock.tableCursor++] & 0xFFu) : 0;
      const uint32_t distance = (h << width) | (m << middleShift) | l;
      uint32_t s = (p + k0 - minMatch - distance) & mask;
      uint32_t length = in.lengths[gBlock.lengthCursor++];
      if (length == kLengthEscape) {
        if (lengthLimit - gBlock.lengthCursor < 2) break;
        length = in.lengths[gBlock.lengthCursor] |
                 static_cast<uint32_t>(in.lengths[gBlock.lengthCursor + 1]) << 8;
        gBlock.lengthCursor += 2;
      }
      // Byte by byte, so that a copy may overlap the bytes it produces.
      for (uint32_t n = length + minMatch; n != 0; --n) {
        window[p] = window[s];
        s = (s + 1) & mask;
        if (++p == windowSize) {
          FlushWindow(windowSize);
          p = 0;
        }
      }
    }
    // Every break above leaves flag bits unread: the block ran out of stream bytes.
    if (b < bits) {
      *position = p;
      return 1;
    }
  }
  *position = p;
  return 0;
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
