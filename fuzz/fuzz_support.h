// Shared by the fuzz targets: puts the engine's module-wide state back to its
// starting values between inputs, so that every input runs as the first one
// of a fresh process would, and hands inputs to the engine as files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Closes any open archive or output file and clears the container, block,
// expansion and file-table state; turns report-only mode on so that an error
// is recorded and the engine goes on as with IgnoreErrors.
void FuzzResetState();

// Frees the decoder memory and clears gDecoder, so that the next
// PrepareDecoder or LoadSizeProfile reserves exactly its profile's buffers.
void FuzzReleaseDecoder();

// A private folder of this process below /tmp (created once, with a
// trailing slash).
const std::string& FuzzWorkFolder();

// Writes the input to <work folder>/<name> and returns the path.
std::string FuzzWriteInput(const char* name, const uint8_t* data, size_t size);

// Removes everything below folder (the folder itself stays).
void FuzzEmptyFolder(const std::string& folder);

// Little-endian field from the front of an input.
inline uint32_t FuzzLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
