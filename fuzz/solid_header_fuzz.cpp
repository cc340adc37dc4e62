// Fuzz target: the solid header reader (ReadSolidHeader), reading the input
// as the archive file positioned at the solid header, going on after errors
// as the stub does with IgnoreErrors. One file table serves every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "output/output.h"

namespace {

FileTable gFiles;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = FuzzOpenBytes(data, size);
  Faults faults;
  ClearFaults(&faults, true);
  // Every other input is read as an archive with Unix entries: its modes
  // read and checked (the first byte's low bit decides, still part of the header).
  const bool unixModes = size > 0 && (data[0] & 1) != 0;
  Result read = ReadSolidHeader(file, &gFiles, &faults, unixModes);
  // A failure is recorded; success leaves no record but that of a header cut
  // short that the run went on from and that then passed its check. A header
  // that is accepted registers whole records: every name holds at most 255
  // bytes and the table holds every entry.
  if (!read.ok() && read.error != kSilentFailure && faults.first.error == kNoError) abort();
  if (read.ok() && faults.first.error != kNoError && faults.first.error != kErrorMeltingNames) abort();
  if (read.ok()) {
    if (gFiles.count > gFiles.capacity) abort();
    for (uint32_t i = 0; i < gFiles.count; ++i) {
      const FileRecord& record = gFiles.records[i];
      if (strnlen(record.name, 256) > 255) abort();
      // An accepted mode is one the outputs know: none, a file, a folder without data, a link with a target.
      if (!unixModes && record.mode != 0) abort();
      if (KindOf(record) == EntryKind::kFolder && record.size != 0) abort();
      if (KindOf(record) == EntryKind::kLink && (record.size == 0 || record.size > kLinkTargetMax)) abort();
    }
  }
  fclose(file);
  return 0;
}
