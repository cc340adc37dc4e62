// The plain stub's window expansion: the step-by-step one.
#include "bench/plain_expand.h"

Result ExpandOneBlock(Expansion* x, uint32_t validBits) { return PlainExpandOneBlock(x, validBits); }
