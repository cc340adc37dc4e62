// Fuzz target: the solid header reader (ReadSolidHeader), reading the input
// as the archive file positioned at the solid header.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "fuzz/fuzz_support.h"
#include "output/output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzResetState();
  const std::string path = FuzzWriteInput("solid_header.bin", data, size);
  gContainer.archive = fopen(path.c_str(), "rb");
  if (gContainer.archive == nullptr) abort();
  InitFileTable();
  const int failed = ReadSolidHeader();
  if (failed == 0) {
    // A header that is accepted registers whole records: every name ends
    // inside its 260 bytes and the table holds every entry.
    if (gFiles.count > gFiles.capacity) abort();
    for (uint32_t i = 0; i < gFiles.count; ++i)
      if (memchr(gFiles.records[i].name, 0, sizeof gFiles.records[i].name) == nullptr) abort();
  }
  fclose(gContainer.archive);
  gContainer.archive = nullptr;
  return 0;
}
