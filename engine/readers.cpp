// Low-level reads from the archive file: little-endian fields and counted
// byte runs.
#include <cstdint>
#include <cstdio>

#include "format/format.h"
#include "engine/engine.h"

uint32_t ReadBytes(FILE* file, uint8_t* buffer, uint32_t count) {
  if (file == nullptr || count == 0) return 0;
  return static_cast<uint32_t>(std::fread(buffer, 1, count, file));
}

bool ReadU32(FILE* file, uint32_t* value) {
  uint8_t b[4] = {0, 0, 0, 0};
  const uint32_t got = ReadBytes(file, b, 4);
  *value = LoadLe32(b);
  return got == 4;
}

bool ReadU16(FILE* file, uint16_t* value) {
  uint8_t b[2] = {0, 0};
  const uint32_t got = ReadBytes(file, b, 2);
  *value = LoadLe16(b);
  return got == 2;
}
