// Fuzz target: what `dolm list`, `test` and `extract` do with a file: open it
// for inspection (archive, option block, archive header, solid header),
// check every stored name and form the listing's texts, then expand every
// block into an output in memory that holds 1 MiB (a larger archive meets a
// full disk), stopping at the first failure as the tool does, and form the
// error text the tool would print. One run context and one engine per
// profile serve every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/container.h"
#include "format/format.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "output/output.h"
#include "startup/startup.h"
#include "tool/codepage.h"
#include "tool/display.h"
#include "tool/names.h"
#include "tool/util.h"

namespace {

constexpr uint64_t kDiskRoom = 1u << 20;

StubRun* gRun = new StubRun();
MemoryOutput gOutput;

void CheckListing(const FileTable& files) {
  std::vector<std::string> names;
  for (uint32_t i = 0; i < files.count; ++i) {
    const FileRecord& r = files.records[i];
    names.emplace_back(r.name);
    (void)tool::JsonString(r.name);
    (void)tool::AttributeText(r.attributes);
    (void)tool::IsoTime(r.time);
    (void)tool::EffectiveName(r.name);
  }
  if (tool::CheckStoredNames(names).size() != names.size()) abort();
  // Names read in a code page are UTF-8, their JSON too, and shown they hold no ESC.
  for (int page : {tool::kAutomaticCodePage, 932, tool::kUtf8CodePage})
    for (const auto& name : tool::ReadStoredNames(names, page))
      if ((name.readable && !tool::IsStrictUtf8(name.utf8)) || !tool::IsStrictUtf8(tool::JsonName(name)) ||
          tool::Shown(name.utf8).find('\x1b') != std::string::npos)
        abort();
}

// Expands into memory with the engine of the archive's profile in the run.
void Expand(StubRun* run) {
  Engine* engine = FuzzEngineFor(run->archive.header);
  run->engine = *engine;
  if (PrepareDecoder(&run->engine, run->archive.header, &run->faults).ok()) {
    StartMemoryOutput(&gOutput, &run->faults, kDiskRoom);
    Result expanded = ExpandInto(run, MemorySink(&gOutput));
    // As dolm extract does: a file whose bytes did not all arrive is removed.
    if (run->expansion.fileOpen) {
      run->expansion.sink.remove(run->expansion.sink.self);
      run->expansion.fileOpen = false;
    }
    EndMemoryOutput(gOutput);
    // Success means every file was written whole: nothing cut short, nothing removed.
    uint64_t expected = 0;
    for (uint32_t i = 0; i < run->files.count; ++i) expected += run->files.records[i].size;
    if (expanded.ok() && (gOutput.opened != run->files.count || gOutput.removed != 0 || gOutput.total != expected))
      abort();
    FuzzClearWindow(&run->engine, run->expansion);
  }
  *engine = run->engine;
  run->engine = Engine{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StubRun* run = gRun;
  const std::string path = FuzzWriteInput("examine.exe", data, size);
  Result opened = OpenForInspection(run, path.c_str(), false);
  if (opened.ok()) {
    CheckListing(run->files);
    Expand(run);
  }
  if (run->faults.first.error != kNoError && run->faults.first.error <= kLastErrorNumber) {
    char text[1100];
    FormatErrorText(run->faults.first, run->archive.name, text, sizeof text);
    (void)tool::OneLine(text);
  }
  CloseArchive(&run->archive);
  return 0;
}
