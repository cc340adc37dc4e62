// The model decoder written step by step as the format describes it: one bit
// per renormalisation doubling, two divisions and a linear scan per symbol.
// It is the baseline of the decode benchmark and the oracle that the fast
// DecodeStream is compared with; the stub never links it.
#pragma once

#include <cstdint>

// Same contract as DecodeStream: writes decodedCount bytes (none when the
// count exceeds 65,536) and sets *length to the number written.
void ReferenceDecodeStream(uint32_t decodedCount, const uint8_t* stored, uint32_t* length,
                           uint8_t* destination);
