// Window expansion of one block: rebuilds the block's stretch of the
// decompressed stream in the window from the streams of the block reader,
// with wide copies; a full window goes to FlushWindow (flush.cpp).
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "engine/engine.h"
#include "output/output.h"

namespace {

// The streams of the current block. The cursors live in the block state (the
// block reader sets them to 0).
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
// window is flushed between runs; false when a flush failed.
// Entry assumptions: *position < W, W a power of two, the window W bytes.
inline bool CopyMatch(Expansion* x, uint8_t* window, uint32_t windowSize, uint32_t* position,
                      uint32_t back, uint32_t count) {
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
      p = 0;
      if (!FlushWindow(x, windowSize)) return false;
    }
  }
  *position = p;
  return true;
}

}  // namespace

// Entry assumptions: x->windowPos < W, W a power of two, the window W bytes.
Result ExpandOneBlock(Expansion* x, uint32_t validBits) {
  const Engine* engine = x->engine;
  BlockState* block = &x->block;
  const uint32_t windowSize = engine->windowSize;
  const uint32_t width = engine->distanceWidth;
  const uint32_t minMatch = engine->minMatch;
  const uint32_t k0 = minMatch == kMinMatch ? 3 : 2;
  const uint32_t middleShift = (width - 8) & 31;  // w = 7: a shift by 31
  uint8_t* window = engine->window;
  const uint8_t* const flagStream = engine->flagStream;
  const BlockInput in = {engine->literalStream, engine->lengthStream, engine->highStream,
                         engine->middleStream, width > 8 ? engine->lowBitTable : nullptr};
  // Each stream is read through its cursor as far as its buffer goes: a
  // stream whose decoded count is shorter than the items need gives the
  // bytes its buffer still holds (the CRC covers what the block stores).
  const uint32_t literalLimit = kStreamBufferSize;
  const uint32_t lengthLimit = kStreamBufferSize;
  const uint32_t matchLimit = kStreamBufferSize;
  const uint32_t middleLimit = kStreamBufferSize;
  const uint32_t flagCount = Limit(block->flagCount);
  // Cursors are kept in locals in the loop and stored back at the end.
  uint32_t literalCursor = block->literalCursor;
  uint32_t lengthCursor = block->lengthCursor;
  uint32_t highCursor = block->highCursor;
  uint32_t middleCursor = block->middleCursor;
  uint32_t tableCursor = block->tableCursor;
  uint32_t p = x->windowPos;
  int result = 0;  // 1: the block asks for more than it holds; 2: a flush failed

  for (uint32_t i = 0; i < flagCount && result == 0; ++i) {
    const uint32_t flags = flagStream[i];
    const uint32_t bits = (i + 1 == flagCount && validBits != 0) ? validBits : 8;
    // Eight literals in a row that fit before the window end: one 8-byte copy.
    if (flags == 0xFFu && bits == 8 && literalLimit - literalCursor >= 8 && windowSize - p >= 8) {
      memcpy(window + p, in.literals + literalCursor, 8);
      literalCursor += 8;
      p += 8;
      if (p == windowSize) {
        p = 0;
        if (!FlushWindow(x, windowSize)) result = 2;
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
          p = 0;
          if (!FlushWindow(x, windowSize)) {
            result = 2;
            break;
          }
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
      if (!CopyMatch(x, window, windowSize, &p, back, length + minMatch)) {
        result = 2;
        break;
      }
    }
  }
  block->literalCursor = literalCursor;
  block->lengthCursor = lengthCursor;
  block->highCursor = highCursor;
  block->middleCursor = middleCursor;
  block->tableCursor = tableCursor;
  x->windowPos = p;
  if (result == 2) return x->failure;
  return result == 0 ? kOk : Result{kErrorDamaged};
}
