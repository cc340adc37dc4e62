// The window expansion of one block, step by step: every literal and every
// match byte is written on its own, with a window-end check per byte. The
// plain stub expands with it (bench/plain_expand.cpp), and expand_bench
// times it beside ExpandOneBlock.
#pragma once

#include <cstdint>

#include "container/container.h"
#include "format/format.h"
#include "engine/engine.h"
#include "output/output.h"

// Same contract as ExpandOneBlock: kErrorDamaged when the block asks for
// more stream bytes than it holds, the output's failure when a flush failed.
inline Result PlainExpandOneBlock(Expansion* x, uint32_t validBits) {
  const Engine* engine = x->engine;
  BlockState* block = &x->block;
  const uint32_t windowSize = engine->windowSize;
  const uint32_t mask = windowSize - 1;
  const uint32_t width = engine->distanceWidth;
  const uint32_t minMatch = engine->minMatch;
  const uint32_t k0 = minMatch == kMinMatch ? 3 : 2;
  uint8_t* window = engine->window;
  uint32_t p = x->windowPos;
  int result = 0;  // 1: the block asks for more than it holds; 2: a flush failed
  for (uint32_t i = 0; i < block->flagCount && result == 0; ++i) {
    const uint32_t bits = (i + 1 == block->flagCount && validBits != 0) ? validBits : 8;
    for (uint32_t b = 0; b < bits; ++b) {
      if ((engine->flagStream[i] >> b) & 1u) {
        if (block->literalCursor >= block->literalCount) {
          result = 1;
          break;
        }
        window[p] = engine->literalStream[block->literalCursor++];
        if (++p == windowSize) {
          p = 0;
          if (!FlushWindow(x, windowSize)) {
            result = 2;
            break;
          }
        }
        continue;
      }
      if (block->highCursor >= block->matchCount || block->middleCursor >= block->middleCount ||
          block->lengthCursor >= block->lengthCount) {
        result = 1;
        break;
      }
      const uint32_t h = engine->highStream[block->highCursor++];
      const uint32_t m = engine->middleStream[block->middleCursor++];
      const uint32_t l = width > 8 ? (engine->lowBitTable[block->tableCursor++] & 0xFFu) : 0;
      const uint32_t distance = (h << width) | (m << ((width - 8) & 31)) | l;
      uint32_t s = (p + k0 - minMatch - distance) & mask;
      uint32_t length = engine->lengthStream[block->lengthCursor++];
      if (length == kLengthEscape) {
        if (block->lengthCount - block->lengthCursor < 2) {
          result = 1;
          break;
        }
        length = engine->lengthStream[block->lengthCursor] |
                 static_cast<uint32_t>(engine->lengthStream[block->lengthCursor + 1]) << 8;
        block->lengthCursor += 2;
      }
      for (uint32_t n = length + minMatch; n != 0; --n) {
        window[p] = window[s];
        s = (s + 1) & mask;
        if (++p == windowSize) {
          p = 0;
          if (!FlushWindow(x, windowSize)) {
            result = 2;
            break;
          }
        }
      }
      if (result != 0) break;
    }
  }
  x->windowPos = p;
  if (result == 2) return x->failure;
  return result == 0 ? kOk : Result{kErrorDamaged};
}
