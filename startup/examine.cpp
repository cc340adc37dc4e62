// Reading an archive without running it: what the dolm tool's list, test and
// extract, the Linux stub's --list and --check and the fuzz targets use. The
// same procedures as a run, stopping at the first failure.
#include <cstring>

#include "format/format.h"
#include "startup/startup.h"

namespace {

Result NothingToOpen(void*, uint32_t, const FileRecord&, bool* write) {
  *write = true;
  return kOk;
}
Result NothingToWrite(void*, const uint8_t*, uint32_t) { return kOk; }
Result NothingToFinish(void*, uint32_t, const FileRecord&, bool) { return kOk; }
void NothingToRemove(void*) {}

}  // namespace

OutputSink NullSink() { return OutputSink{nullptr, NothingToOpen, NothingToWrite, NothingToFinish, NothingToRemove}; }

Result OpenForInspection(StubRun* run, const char* path, bool load) {
  Faults* faults = &run->faults;
  ClearFaults(faults, false);
  CloseArchive(&run->archive);
  run->archive.optionBlockPos = 0;
  run->files.count = 0;
  ReleaseExtension(&run->options);
  std::memset(&run->options, 0, sizeof run->options);
  Result result = OpenArchive(path, &run->archive, faults);
  if (result.ok()) result = CheckArchiveHeader(&run->archive, &run->options, faults);
  if (!result.ok()) return result;
  std::memcpy(run->tempFolder, run->options.tempFolder, sizeof run->tempFolder);
  const uint8_t* header = run->archive.header;
  // Archives without the solid flag or with a profile beyond the table are
  // not ones the stub can read.
  if (SolidFlagOf(header) == 0 || ProfileIndexOf(header) >= kProfileCount)
    return NoteFault(faults, kErrorNotArchive, "", run->archive.optionBlockPos + kHeaderSettingsOffset);
  if (load) {
    result = PrepareDecoder(&run->engine, header, faults);
    if (!result.ok()) return result;
  }
  result = ReadSolidHeader(run->archive.file, &run->files, faults, run->options.extension.unixModes);
  // A header whose buffers cannot be had reads as a damaged one here.
  if (result.error == kSilentFailure) return NoteFault(faults, kErrorMeltingNames, "", std::ftell(run->archive.file));
  return result;
}

Result ExpandInto(StubRun* run, OutputSink sink) {
  // The expansion counts a file's bytes in a signed 32-bit number: a larger
  // size cannot be extracted, and is refused before anything is written.
  for (uint32_t i = 0; i < run->files.count; ++i)
    if (run->files.records[i].size > 0x7FFFFFFFu)
      return NoteFault(&run->faults, kErrorInconsistent, run->files.records[i].name, -1);
  StartExpansion(&run->expansion, &run->engine, &run->files, sink, &run->faults);
  run->expansion.stopPastFiles = true;
  run->expansion.stages = run->stages;
  Result result = BeginFiles(&run->expansion, run->archive.file);
  if (!result.ok()) return result;
  if (!FinishEmptyTail(&run->expansion)) return run->expansion.failure;
  // The data must fill every file exactly.
  uint64_t expected = 0;
  for (uint32_t i = 0; i < run->files.count; ++i) expected += run->files.records[i].size;
  const int64_t at = std::ftell(run->archive.file);
  if (run->expansion.produced < expected || run->expansion.fileOpen || run->expansion.nextFile < run->files.count)
    return NoteFault(&run->faults, kErrorEndOfArchive, "", at);
  if (run->expansion.produced > expected) return NoteFault(&run->faults, kErrorInconsistent, "", at);
  return kOk;
}

void EndInspection(StubRun* run) {
  CloseArchive(&run->archive);
  ReleaseExtension(&run->options);
  ReleaseDecoderMemory(&run->engine);
  ReleaseFileTable(&run->files);
}
