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

// Appends `count` bytes that start `back` bytes behind *position (back = D + 1,
// 1 to W), with the result of a forward byte-by-byte copy: a source that
// overlaps the bytes it produces repeats them. The copy goes in runs that
// neither cross the window end for the source nor for the destination; a full
// window is flushed between runs.
// Entry assumptions: *position < W, W a power of two, the window W bytes.
inline void CopyMatch(uint8_t* window, uint32_t windowSize, uint32_t* position, uint32_t back,
                      uint32_t count) {
  const uint32_t mask = windowSize - 1;
  uint32_t p = *position;
  uint32_t s = (p - back) & mask;
  while (count != 0) {
    uint32_t run = windowSize - p;
    if (windowSize - s < run) run = windowSize - s;
    if (count < run) run = count;
    uint8_t* to = window + p;
    const uint8_t* from = window + s;
    if (from > to || from + run <= to) {
      // Source ahead of the destination, or wholly before it: a forward byte
      // copy reads only bytes it has not written yet, which is a memmove.
      memmove(to, from, run);
    } else if (from == to) {
      // back = W: every byte is copied onto itself, nothing changes.
    } else if (to - from == 1) {
      memset(to, from[0], run);
    } else {
      // Overlap with a gap g < run: the bytes repeat with period g. Whole
      // periods are copied from the source, each copy twice as long as the
      // one before and never reaching into its own destination, and no byte
      // past the run is touched (it may still be referred to by later matches).
      const uint32_t gap = static_cast<uint32_t>(to - from);
      uint32_t done = 0;
      while (done < run) {
        uint32_t step = done + gap;
        if (step > run - done) step = run - done;
        memcpy(to + done, from, step);
        done += step;
      }
    }
    p += run;
    s = (s + run) & mask;
    count -= run;
    if (p == windowSize) {
      FlushWindow(windowSize);
      p = 0;
    }
  }
  *position = p;
}

// Expands the flag bits of the current block into the window from *position.
// Returns 0, or 1 when the block asks for more stream bytes than it holds.
// Entry assumptions: *position < W, W a power of two, the window W bytes.
int ExpandOneBlock(uint32_t* position, uint32_t validBits) {
  const uint32_t windowSize = gDecoder.windowSize;
  const uint32_t width = gDecoder.distanceWidth;
  const uint32_t minMatch = gDecoder.minMatch;
  const uint32_t k0 = minMatch == kMinMatch ? 3 : 2;
  const uint32_t middleShift = (width - 8) & 31;  // w = 7: a shift by 31
  uint8_t* window = gDecoder.window;
  const uint8_t* const flagStream = gDecoder.flagStream;
  const BlockInput in = {gDecoder.literalStream, gDecoder.lengthStream, gDecoder.highStream,
                         gDecoder.middleStream, width > 8 ? gDecoder.lowBitTable : nullptr};
  const uint32_t literalLimit = Limit(gBlock.literalCount);
  const uint32_t lengthLimit = Limit(gBlock.lengthCount);
  const uint32_t matchLimit = Limit(gBlock.matchCount);
  const uint32_t middleLimit = Limit(gBlock.middleCount);
  const uint32_t flagCount = Limit(gBlock.flagCount);
  // Cursors are kept in locals in the loop and stored back at the end.
  uint32_t literalCursor = gBlock.literalCursor;
  uint32_t lengthCursor = gBlock.lengthCursor;
  uint32_t highCursor = gBlock.highCursor;
  uint32_t middleCursor = gBlock.middleCursor;
  uint32_t tableCursor = gBlock.tableCursor;
  uint32_t p = *position;
  int result = 0;

  for (uint32_t i = 0; i < flagCount && result == 0; ++i) {
    const uint32_t flags = flagStream[i];
    const uint32_t bits = (i + 1 == flagCount && validBits != 0) ? validBits : 8;
    // Eight literals in a row that fit before the window end: one 8-byte copy.
    if (flags == 0xFFu && bits == 8 && literalLimit - literalCursor >= 8 && windowSize - p >= 8) {
      memcpy(window + p, in.literals + literalCursor, 8);
      literalCursor += 8;
      p += 8;
      if (p == windowSize) {
        FlushWindow(windowSize);
        p = 0;
      }
      continue;
    }
    for (uint32_t b = 0; b < bits; ++b) {
      if ((flags >> b) & 1u) {
        if (literalCursor >= literalLimit) {
          result = 1;
          break;
        }
        window[p] = in.literals[literalCursor++];
        if (++p == windowSize) {
          FlushWindow(windowSize);
          p = 0;
        }
        continue;
      }
      // A match needs one byte of each distance stream and 1 or 3 length bytes.
      if (highCursor >= matchLimit || middleCursor >= middleLimit || lengthCursor >= lengthLimit) {
        result = 1;
        break;
      }
      const uint32_t h = in.high[highCursor++];
      const uint32_t m = in.middle[middleCursor++];
      const uint32_t l = in.low ? (in.low[tableCursor++] & 0xFFu) : 0;
      const uint32_t distance = (h << width) | (m << middleShift) | l;
      uint32_t length = in.lengths[lengthCursor++];
      if (length == kLengthEscape) {
        if (lengthLimit - lengthCursor < 2) {
          result = 1;
          break;
        }
        length = in.lengths[lengthCursor] | static_cast<uint32_t>(in.lengths[lengthCursor + 1]) << 8;
        lengthCursor += 2;
      }
      // The source is (p + k0 - M - D) mod W, that is back = D + M - k0 bytes
      // behind p, taken modulo W (a back of 0 is the same byte as W back).
      uint32_t back = (distance + minMatch - k0) & (windowSize - 1);
      if (back == 0) back = windowSize;
      CopyMatch(window, windowSize, &p, back, length + minMatch);
    }
  }
  gBlock.literalCursor = literalCursor;
  gBlock.lengthCursor = lengthCursor;
  gBlock.highCursor = highCursor;
  gBlock.middleCursor = middleCursor;
  gBlock.tableCursor = tableCursor;
  *position = p;
  return result;
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
