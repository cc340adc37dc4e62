// The plain stub's window expansion: the step-by-step one.
#include "bench/plain_expand.h"

int ExpandOneBlock(uint32_t* position, uint32_t validBits) {
  return PlainExpandOneBlock(position, validBits);
}
