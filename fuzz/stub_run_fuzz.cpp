// Fuzz target: a whole run of the stub on a file (stub image and appended
// archive), in process, through the run sequence itself (StartRun,
// ExtractArchive, EndsRun) with the request "-i -s <folder>": the stored
// options, the switches, and the extraction, going on after every error as
// IgnoreErrors does (and ending where the run would end whatever the
// options). No -o: a name met twice is passed over as when the overwrite
// question is answered No. The files go to an output in memory that forms
// each target path as the disk output does and holds 64 KiB, so that a
// larger archive meets a full disk. The execute file is never started. One
// run context serves every input; its decoder memory is released after each,
// so that every input meets the exact window a fresh process would.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container/container.h"
#include "format/format.h"
#include "fuzz/fuzz_support.h"
#include "output/output.h"
#include "startup/startup.h"

namespace {

constexpr uint64_t kDiskRoom = 64u << 10;
const char kFolder[] = "\\fuzz\\out";

StubRun* gRun = new StubRun();
MemoryOutput gOutput;

// The outcome must be one the entry can show: its texts end within their buffers.
void CheckOutcome(const RunOutcome& outcome) {
  if (memchr(outcome.text, 0, sizeof outcome.text) == nullptr ||
      memchr(outcome.caption, 0, sizeof outcome.caption) == nullptr)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StubRun* run = gRun;
  const std::string path = FuzzWriteInput("stub.exe", data, size);
  RunRequest request = {};
  request.ownPath = path.c_str();
  std::strcpy(request.switches, "is");
  request.folder = kFolder;

  RunOutcome outcome = {};
  if (!StartRun(run, request, &outcome)) {
    // -a is not asked for, so only a failure ends the run before the extraction.
    if (outcome.exitCode == 0) abort();
    CheckOutcome(outcome);
  } else {
    if (strcmp(run->tempFolder, kFolder) != 0 || !run->faults.goOn) abort();
    StartMemoryOutput(&gOutput, &run->faults, kDiskRoom);
    gOutput.paths = true;
    gOutput.folder = run->tempFolder;
    gOutput.optionWord = run->options.record.optionWord;
    const Result extracted = ExtractArchive(run, MemorySink(&gOutput));
    EndMemoryOutput(gOutput);
    if (EndsRun(run, extracted, &outcome)) CheckOutcome(outcome);
  }
  ReleaseDecoderMemory(&run->engine);

  // The error text the run would show for its first failure.
  if (run->faults.first.error != kNoError && run->faults.first.error <= kLastErrorNumber) {
    char text[1100];
    FormatErrorText(run->faults.first, run->ownPath, text, sizeof text);
    if (memchr(text, 0, sizeof text) == nullptr) abort();
  }
  return 0;
}
