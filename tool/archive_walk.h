// The parts of a self-extractor, found without decoding.
#pragma once

#include <cstdint>
#include <string>

#include "container/container.h"
#include "format/format.h"
#include "packer/packer.h"

namespace tool {

struct ArchiveLayout {
  uint64_t headerStart = 0;  // the 36-byte archive header
  uint64_t end = 0;          // just past the last data block
};
// Walks from the archive header at `headerStart` (behind the option block,
// as the stub's reader finds it) to the end of the last data block. Throws
// Failure naming `what` and the offset when the structure is broken.
// Where the option block begins, which is where the stub image ends, given
// where the archive header behind it begins.
inline uint64_t OptionBlockStart(uint64_t headerStart, const OptionsRecord& record) {
  return headerStart - kSignatureLength - kOptionsRecordSize - record.tempLength - record.execLength;
}
// Where the stub image ends: the option block's start, or the extension
// record's in front of it.
inline uint64_t StubImageEnd(uint64_t headerStart, const StoredOptions& options) {
  const uint64_t block = OptionBlockStart(headerStart, options.record);
  return options.extension.present ? block - options.extension.size : block;
}
ArchiveLayout WalkArchive(const packer::Bytes& bytes, uint64_t headerStart, const std::string& what);

}  // namespace tool
