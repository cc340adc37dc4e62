// The overlay signature: its one copy in a program image and the one search
// for it, used by the stub's archive search, the packer and the tool.
#pragma once

#include <cstddef>
#include <cstdint>

// The signature text (kSignatureLength characters, no terminating zero used).
const char* OverlaySignature();
// Offset of the first signature that starts at or after `from` and lies wholly
// inside bytes[0, length), or -1.
long FindOverlaySignature(const uint8_t* bytes, size_t length, size_t from);
// How many signatures start in bytes[0, length).
size_t CountOverlaySignatures(const uint8_t* bytes, size_t length);
