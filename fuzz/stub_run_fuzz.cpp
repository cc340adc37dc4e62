// Fuzz target: a whole run of the stub on a file (stub image and appended
// archive), in process, with the switches "-i -s <folder>": the own path
// from the command line, the stored options, the switches, and the
// extraction driver's steps, going on after every error as IgnoreErrors
// does (and ending where the run would end whatever the options). No -o:
// a name met twice is passed over as when the overwrite question is
// answered No. The files go to an output in memory that forms each target path as
// the disk output does and holds 64 KiB, so that a larger archive meets a
// full disk. The execute file is never started. One run context and one
// engine per profile serve every input.
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

// The driver's steps after the archive header (startup/driver.cpp), with the
// engine of the header's profile and the output in memory.
void ExtractFiles(StubRun* run) {
  Faults* faults = &run->faults;
  Engine* engine = FuzzEngineFor(run->archive.header);
  Result prepared = PrepareDecoder(engine, run->archive.header, faults);
  if (prepared.error == kErrorCannotProcess) return;
  if (!ReadSolidHeader(run->archive.file, &run->files, faults).ok()) return;
  StartMemoryOutput(&gOutput, faults, kDiskRoom);
  gOutput.paths = true;
  gOutput.folder = run->tempFolder;
  gOutput.optionWord = run->options.record.optionWord;
  Expansion* x = &run->expansion;
  StartExpansion(x, engine, &run->files, MemorySink(&gOutput), faults);
  Result expanded = BeginFiles(x, run->archive.file);
  (void)expanded;  // the run goes on after it, as with IgnoreErrors
  if (x->fileOpen) {
    const uint32_t index = x->nextFile - 1;
    Result closed = x->sink.finish(x->sink.self, index, run->files.records[index], false);
    (void)closed;
    x->fileOpen = false;
  }
  EndMemoryOutput(gOutput);
  FuzzClearWindow(engine, *x);
}

// The run sequence's decision after a step (startup/run.cpp): true when the
// run ends there.
bool RunEnds(const StubRun* run, Result result) {
  if (result.ok() || result.error == kSilentFailure) return false;
  return result.error > kLastErrorNumber || result.error == kErrorCannotProcess || !run->faults.goOn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StubRun* run = gRun;
  const std::string path = FuzzWriteInput("stub.exe", data, size);
  const std::string args = std::string("-i -s ") + kFolder;
  const std::string commandLine = "\"" + path + "\" " + args;

  // The run sequence (startup/run.cpp) up to the extraction.
  TakeOwnPath(run, commandLine.c_str(), args.c_str());
  if (path != run->ownPath) abort();
  std::memset(run->tempFolder, 0, sizeof run->tempFolder);
  ClearFaults(&run->faults, false);
  run->archive.optionBlockPos = 0;
  Result loaded = LoadStoredOptions(run->ownPath, &run->archive, &run->options, &run->faults);
  std::memcpy(run->tempFolder, run->options.tempFolder, sizeof run->tempFolder);
  run->faults.goOn = OptionField(run->options.record.optionWord, kIgnoreErrors) != 0;
  if (RunEnds(run, loaded)) return 0;
  bool report = false;
  Result switched = ApplySwitches(run, args.c_str(), &report);
  if (!switched.ok() || report || strcmp(run->tempFolder, kFolder) != 0) abort();
  run->faults.goOn = true;

  // The extraction driver (startup/driver.cpp).
  if (OpenArchive(run->ownPath, &run->archive, &run->faults).ok()) {
    Result checked = CheckArchiveHeader(&run->archive, &run->options, &run->faults);
    (void)checked;  // IgnoreErrors: the files are extracted all the same
    ExtractFiles(run);
  }
  CloseArchive(&run->archive);

  // The error text the run would show for its first failure.
  if (run->faults.first.error != kNoError && run->faults.first.error <= kLastErrorNumber) {
    char text[1100];
    FormatErrorText(run->faults.first, run->ownPath, text, sizeof text);
    if (memchr(text, 0, sizeof text) == nullptr) abort();
  }
  return 0;
}
