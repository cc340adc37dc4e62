// The extraction driver: opens the stub's own file as the archive a second
// time, checks it, and has every stored file decompressed and written.
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "format/stored_names.h"
#include "startup/startup.h"

namespace {

// The names of an archive whose record says they are UTF-8, before anything
// is written: one that is not strict UTF-8 is damage; those the system cannot
// bear (Windows 95/98, whose code page lacks a character) are refused
// together, by name, as many as the message holds.
Result CheckRecordedNames(const FileTable& files, Faults* faults) {
  for (uint32_t i = 0; i < files.count; ++i) {
    const char* name = files.records[i].name;
    const size_t length = std::strlen(name);
    // The name goes to the message as it is: showing it escapes what is not UTF-8.
    if (FirstNonUtf8Byte(name, length) != length) return NoteFault(faults, kStopNameNotUtf8, name);
  }
  char refused[sizeof faults->first.subject] = "";
  size_t used = 0;
  for (uint32_t i = 0; i < files.count; ++i) {
    if (PlatformCanName(files.records[i].name)) continue;
    const int added = std::snprintf(refused + used, sizeof refused - used, "%s%s", used > 0 ? "\n" : "",
                                    files.records[i].name);
    if (added < 0 || used + static_cast<size_t>(added) + 5 >= sizeof refused) {
      std::snprintf(refused + used, sizeof refused - used, "\n...");
      break;
    }
    used += static_cast<size_t>(added);
  }
  return refused[0] == '\0' ? kOk : NoteFault(faults, kStopNameNotOnSystem, refused);
}

// Loads the profile, reads the solid header and expands the blocks into the
// files; every step goes on after a failure only when the run does.
// goOn: the run's own policy, which holds again once a check asked for has
// passed.
Result ExtractFiles(StubRun* run, OutputSink sink, bool goOn) {
  Faults* faults = &run->faults;
  Result result = PrepareDecoder(&run->engine, run->archive.header, faults);
  // Decoder memory that cannot be had ends the run whatever the options say.
  if (result.error == kErrorCannotProcess || (!result.ok() && !faults->goOn)) return result;
  Result header = ReadSolidHeader(run->archive.file, &run->files, faults, run->options.extension.unixModes);
  if (!header.ok()) return header.error == kSilentFailure ? result : header;
  if (run->options.extension.utf8Names) {
    Result named = CheckRecordedNames(run->files, faults);
    if (!named.ok()) return named;
  }
  if (Asks(run->options, kBehaveCheckFirst)) {
    Result checked = CheckBeforeWriting(run);
    if (!checked.ok()) return checked;
    faults->goOn = goOn;
  }
  StartExpansion(&run->expansion, &run->engine, &run->files, sink, faults);
  run->expansion.stages = run->stages;
  Result expanded = BeginFiles(&run->expansion, run->archive.file);
  Result closed = EndExpansion(&run->expansion, HalfFile::kKeep);
  if (expanded.ok()) expanded = closed;
  return result.ok() ? expanded : result;
}

}  // namespace

uint8_t StagesFromSetting(const char* text) {
  if (text != nullptr && (std::strcmp(text, "1") == 0 || std::strcmp(text, "2") == 0))
    return static_cast<uint8_t>(text[0] - '0');
  return 0;
}

Result CheckBeforeWriting(StubRun* run) {
  // Where links are passed over (Windows), none can lead anywhere.
  if (!run->options.extension.unixModes || !PlatformHasUnixFiles()) return CheckBeforeWriting(run, NullSink());
  LinkCheck check;
  return CheckBeforeWriting(run, LinkCheckSink(&check, run->options.record.optionWord, &run->faults));
}

Result CheckBeforeWriting(StubRun* run, OutputSink sink) {
  const long firstBlock = std::ftell(run->archive.file);
  Result checked = ExpandInto(run, sink);
  if (checked.ok() && (firstBlock < 0 || std::fseek(run->archive.file, firstBlock, SEEK_SET) != 0))
    checked = NoteFault(&run->faults, kErrorRewind, "", firstBlock);
  return checked;
}

Result ExtractArchive(StubRun* run, OutputSink sink) {
  Faults* faults = &run->faults;
  // An archive that asks to be checked first is not written from after a
  // failure whatever IgnoreErrors says: its damage ends the run with its
  // message before the first file (the run goes on after errors only once
  // the check has passed).
  const bool goOn = faults->goOn;
  if (Asks(run->options, kBehaveCheckFirst)) faults->goOn = false;
  Result result = OpenArchive(run->ownPath, &run->archive, faults);
  if (!result.ok()) return result;
  result = CheckArchiveHeader(&run->archive, &run->options, faults);
  if (result.ok() || faults->goOn) {
    Result extracted = ExtractFiles(run, sink, goOn);
    if (result.ok()) result = extracted;
  }
  CloseArchive(&run->archive);
  return result;
}
