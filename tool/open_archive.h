// An archive opened for `dolm list`, `test` and `extract`: the stub's own run
// context read up to the first data block, and the texts and sums those
// commands show of it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "startup/startup.h"
#include "tool/codepage.h"
#include "tool/util.h"

namespace tool {

// An archive opened for inspection: the stub's run context and what the
// listing shows of it.
struct Archive {
  std::unique_ptr<StubRun> run{new StubRun()};
  std::string path;
  uint64_t fileSize = 0;
  long archiveStart = 0;
  uint8_t profile = 0;
  ~Archive() { EndInspection(run.get()); }
};

// "'<path>': Error #N: <text> (found at byte offset X)" for the run's first failure.
std::string Describe(const Archive& archive);
// What Describe adds for a failure that names a stored file.
std::string SubjectDetail(const Archive& archive);
// What an opened archive is read for: its list alone, or also its data (the
// decoder memory is then reserved).
enum class Reading { kList, kData };
// Opens the archive and reads everything up to the first data block. Any
// damage found there ends the command.
void OpenIntact(Archive* archive, const std::string& path, Reading reading);
inline const FileTable& Files(const Archive& archive) { return archive.run->files; }
inline const StoredOptions& Options(const Archive& archive) { return archive.run->options; }
// The code page the archive's names and texts are read in: UTF-8 (65001)
// when its record says they are, whatever --codepage asked; else `asked`.
int NamesCodePage(const Archive& archive, int asked);
// The stored names, read from the file table one at a time, in
// NamesCodePage(archive, codePage).
ArchiveNames ReadNames(const Archive& archive, int codePage);
uint64_t TotalSize(const Archive& archive);
// The declared total against the size of the archive: the file from the
// option block on, without the stub.
double DeclaredRatio(const Archive& archive);
// "dolm: <verb> 45%": how far the run has read the archive's file.
std::string ProgressText(const char* verb, const Archive& archive);
inline size_t CountUnsafe(const ArchiveNames& names) { return names.problems.size(); }
// Messages about single names stop after this many; the rest are counted
// ("and 12 more").
constexpr size_t kNamesShown = 10;
std::string MoreNames(size_t count);
// Prints the command's help when it was asked for, and says whether it was.
bool HelpShown(const ParsedArgs& parsed, const char* help);
// The one archive operand of `command`; UsageError for none or several.
std::string OneOperand(const ParsedArgs& parsed, const char* command);

}  // namespace tool
