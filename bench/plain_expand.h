// The window expansion of one block, step by step: every literal and every
// match byte is written on its own, with a window-end check per byte. The
// plain stub expands with it (bench/plain_expand.cpp), and expand_bench
// times it beside ExpandOneBlock.
#pragma once

#include <cstdint>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "output/output.h"

// Same contract as ExpandOneBlock: 0, or 1 when the block asks for more
// stream bytes than it holds.
inline int PlainExpandOneBlock(uint32_t* position, uint32_t validBits) {
  const uint32_t windowSize = gDecoder.windowSize;
  const uint32_t mask = windowSize - 1;
  const uint32_t width = gDecoder.distanceWidth;
  const uint32_t minMatch = gDecoder.minMatch;
  const uint32_t k0 = minMatch == kMinMatch ? 3 : 2;
  uint8_t* window = gDecoder.window;
  uint32_t p = *position;
  int result = 0;
  for (uint32_t i = 0; i < gBlock.flagCount && result == 0; ++i) {
    const uint32_t bits = (i + 1 == gBlock.flagCount && validBits != 0) ? validBits : 8;
    for (uint32_t b = 0; b < bits; ++b) {
      if ((gDecoder.flagStream[i] >> b) & 1u) {
        if (gBlock.literalCursor >= gBlock.literalCount) {
          result = 1;
          break;
        }
        window[p] = gDecoder.literalStream[gBlock.literalCursor++];
        if (++p == windowSize) {
          FlushWindow(windowSize);
          p = 0;
        }
        continue;
      }
      if (gBlock.highCursor >= gBlock.matchCount || gBlock.middleCursor >= gBlock.middleCount ||
          gBlock.lengthCursor >= gBlock.lengthCount) {
        result = 1;
        break;
      }
      const uint32_t h = gDecoder.highStream[gBlock.highCursor++];
      const uint32_t m = gDecoder.middleStream[gBlock.middleCursor++];
      const uint32_t l = width > 8 ? (gDecoder.lowBitTable[gBlock.tableCursor++] & 0xFFu) : 0;
      const uint32_t distance = (h << width) | (m << ((width - 8) & 31)) | l;
      uint32_t s = (p + k0 - minMatch - distance) & mask;
      uint32_t length = gDecoder.lengthStream[gBlock.lengthCursor++];
      if (length == kLengthEscape) {
        if (gBlock.lengthCount - gBlock.lengthCursor < 2) {
          result = 1;
          break;
        }
        length = gDecoder.lengthStream[gBlock.lengthCursor] |
                 static_cast<uint32_t>(gDecoder.lengthStream[gBlock.lengthCursor + 1]) << 8;
        gBlock.lengthCursor += 2;
      }
      for (uint32_t n = length + minMatch; n != 0; --n) {
        window[p] = window[s];
        s = (s + 1) & mask;
        if (++p == windowSize) {
          FlushWindow(windowSize);
          p = 0;
        }
      }
    }
  }
  *position = p;
  return result;
}
