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

// The read cursors of the block's streams, kept in locals through the loop and
// stored back into the block state at its end.
struct Cursors {
  uint32_t literal, length, high, middle, table;
};

// Why the expansion of a block stopped early.
enum class Stop { kNone, kOutOfItems, kFlushFailed };

// The window and the distance form of the size profile.
struct WindowShape {
  uint8_t* bytes;
  uint32_t size;         // W, a power of two
  uint32_t width;        // w
  uint32_t middleShift;  // w - 8, taken modulo 32 (w = 7: a shift by 31)
};

// Each stream is read through its cursor as far as its buffer goes: a stream
// whose decoded count is shorter than the items need gives the bytes its
// buffer still holds (the CRC covers what the block stores).
[[gnu::always_inline]] inline Stop PutLiteral(Expansion* x, const BlockInput& in, Cursors* c,
                                              const WindowShape& w, uint32_t* p) {
  if (c->literal >= kStreamBufferSize) return Stop::kOutOfItems;
  w.bytes[*p] = in.literals[c->literal++];
  if (++*p != w.size) return Stop::kNone;
  *p = 0;
  return FlushWindow(x, w.size) ? Stop::kNone : Stop::kFlushFailed;
}

[[gnu::always_inline]] inline Stop PutMatch(Expansion* x, const BlockInput& in, Cursors* c,
                                            const WindowShape& w, uint32_t* p) {
  // A match needs one byte of each distance stream and 1 or 3 length bytes.
  if (c->high >= kStreamBufferSize || c->middle >= kStreamBufferSize || c->length >= kStreamBufferSize)
    return Stop::kOutOfItems;
  const uint32_t h = in.high[c->high++];
  const uint32_t m = in.middle[c->middle++];
  const uint32_t l = in.low ? (in.low[c->table++] & 0xFFu) : 0;
  const uint32_t distance = (h << w.width) | (m << w.middleShift) | l;
  uint32_t length = in.lengths[c->length++];
  if (length == kLengthEscape) {
    if (kStreamBufferSize - c->length < 2) return Stop::kOutOfItems;
    length = in.lengths[c->length] | static_cast<uint32_t>(in.lengths[c->length + 1]) << 8;
    c->length += 2;
  }
  // The source is p + 3 - M - D with M = 4: the match starts D + 1 bytes
  // back, taken modulo W (a back of 0 is the same byte as W back).
  static_assert(kMinMatch == 4, "a match starts D + 1 bytes back");
  uint32_t back = (distance + 1) & (w.size - 1);
  if (back == 0) back = w.size;
  return CopyMatch(x, w.bytes, w.size, p, back, length + kMinMatch) ? Stop::kNone : Stop::kFlushFailed;
}

}  // namespace

// Entry assumptions: x->windowPos < W, W a power of two, the window W bytes.
Result ExpandOneBlock(Expansion* x, uint32_t validBits) {
  const Engine* engine = x->engine;
  BlockState* block = &x->block;
  const WindowShape w = {engine->window, engine->windowSize, engine->distanceWidth,
                         (engine->distanceWidth - 8u) & 31u};
  const uint8_t* const flagStream = engine->flagStream;
  const BlockInput in = {engine->literalStream, engine->lengthStream, engine->highStream,
                         engine->middleStream, w.width > 8 ? engine->lowBitTable : nullptr};
  const uint32_t flagCount = Limit(block->flagCount);
  Cursors c = {block->literalCursor, block->lengthCursor, block->highCursor, block->middleCursor,
               block->tableCursor};
  uint32_t p = x->windowPos;
  Stop stop = Stop::kNone;

  for (uint32_t i = 0; i < flagCount && stop == Stop::kNone; ++i) {
    const uint32_t flags = flagStream[i];
    const uint32_t bits = (i + 1 == flagCount && validBits != 0) ? validBits : 8;
    // Eight literals in a row that fit before the window end: one 8-byte copy.
    if (flags == 0xFFu && bits == 8 && kStreamBufferSize - c.literal >= 8 && w.size - p >= 8) {
      memcpy(w.bytes + p, in.literals + c.literal, 8);
      c.literal += 8;
      p += 8;
      if (p == w.size) {
        p = 0;
        if (!FlushWindow(x, w.size)) stop = Stop::kFlushFailed;
      }
      continue;
    }
    for (uint32_t b = 0; b < bits && stop == Stop::kNone; ++b)
      stop = ((flags >> b) & 1u) ? PutLiteral(x, in, &c, w, &p) : PutMatch(x, in, &c, w, &p);
  }
  block->literalCursor = c.literal;
  block->lengthCursor = c.length;
  block->highCursor = c.high;
  block->middleCursor = c.middle;
  block->tableCursor = c.table;
  x->windowPos = p;
  if (stop == Stop::kFlushFailed) return x->failure;
  return stop == Stop::kNone ? kOk : Result{kErrorDamaged};
}
