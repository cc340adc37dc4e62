// Opening an archive for `dolm list`, `test` and `extract` with the stub's
// own procedures, and what those commands show of it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "tool/archive_walk.h"
#include "tool/display.h"
#include "tool/open_archive.h"

namespace tool {

std::string Describe(const Archive& archive) {
  const Fault& fault = archive.run->faults.first;
  char text[520];
  FormatErrorText(fault, archive.run->archive.name, text, sizeof text);
  long offset = fault.offset >= 0 ? static_cast<long>(fault.offset)
                                  : archive.run->archive.file ? ftell(archive.run->archive.file) : 0;
  return "'" + Shown(archive.path) + "': " + OneLine(text) + " (found at byte offset " + std::to_string(offset) + ")";
}

std::string SubjectDetail(const Archive& archive) {
  const Fault& fault = archive.run->faults.first;
  if (fault.error != kErrorInconsistent || fault.subject[0] == '\0') return "";
  return " (the file '" + Shown(fault.subject) + "' declares more than the 2147483647 bytes an extraction handles)";
}

void OpenIntact(Archive* archive, const std::string& path, Reading reading) {
  archive->path = path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) throw Failure("'" + path + "' is not a regular file");
  archive->fileSize = static_cast<uint64_t>(st.st_size);
  StubRun* run = archive->run.get();
  run->stages = StagesFromSetting(std::getenv("DOLM_STAGES"));
  Result opened = OpenForInspection(run, path.c_str(), reading == Reading::kData);
  if (opened.error == kStopNoTableMemory || opened.error == kStopNoTreePool)
    throw Failure("'" + path + "': not enough memory for its list of files");
  if (opened.error == kErrorCannotOpen) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
  if (!opened.ok()) throw Failure(Describe(*archive));
  const OptionsRecord& record = run->options.record;
  archive->archiveStart = static_cast<long>(OptionBlockStart(static_cast<uint64_t>(run->archive.optionBlockPos), record));
  archive->profile = ProfileIndexOf(run->archive.header);
}


int NamesCodePage(const Archive& archive, int asked) {
  return Options(archive).extension.utf8Names ? kUtf8CodePage : asked;
}

ArchiveNames ReadNames(const Archive& archive, int codePage) {
  const FileTable* files = &Files(archive);
  return ReadStoredNames(files->count, [files](size_t i) { return std::string(files->records[i].name); },
                         NamesCodePage(archive, codePage));
}

uint64_t TotalSize(const Archive& archive) {
  uint64_t total = 0;
  for (uint32_t i = 0; i < Files(archive).count; ++i) total += Files(archive).records[i].size;
  return total;
}

double DeclaredRatio(const Archive& archive) {
  const uint64_t size = archive.fileSize - static_cast<uint64_t>(archive.archiveStart);
  return size == 0 ? 0.0 : static_cast<double>(TotalSize(archive)) / static_cast<double>(size);
}

std::string MoreNames(size_t count) {
  return count > kNamesShown ? "and " + std::to_string(count - kNamesShown) + " more" : "";
}

std::string ProgressText(const char* verb, const Archive& archive) {
  long at = ftell(archive.run->archive.file);
  uint64_t percent = archive.fileSize == 0 || at < 0 ? 0 : static_cast<uint64_t>(at) * 100 / archive.fileSize;
  return std::string("dolm: ") + verb + " " + std::to_string(percent) + "%";
}

bool HelpShown(const ParsedArgs& parsed, const char* help) {
  if (parsed.Has("--help")) fputs(help, stdout);
  return parsed.Has("--help");
}

std::string OneOperand(const ParsedArgs& parsed, const char* command) {
  if (parsed.operands.size() != 1)
    throw UsageError(std::string(command) + " needs exactly one archive file");
  return parsed.operands[0];
}

}  // namespace tool
