// The check of an archive's symbolic links before anything is written: the
// whole archive is expanded into an output that keeps only each link's
// target and refuses one that leads out of the extraction folder.
#include <cstring>

#include "format/link_target.h"
#include "output/output.h"

namespace {

Result OpenEntry(void* self, uint32_t, const FileRecord& record, bool* write) {
  LinkCheck* check = static_cast<LinkCheck*>(self);
  check->kind = KindOf(record);
  check->length = 0;
  *write = true;
  return kOk;
}

Result TakeBytes(void* self, const uint8_t* bytes, uint32_t count) {
  LinkCheck* check = static_cast<LinkCheck*>(self);
  if (check->kind != EntryKind::kLink) return kOk;
  // The table's check keeps a link's size within the buffer.
  const uint32_t room = kLinkTargetMax - check->length;
  const uint32_t taken = count < room ? count : room;
  std::memcpy(check->target + check->length, bytes, taken);
  check->length += taken;
  return kOk;
}

Result FinishEntry(void* self, uint32_t, const FileRecord& record, bool complete) {
  LinkCheck* check = static_cast<LinkCheck*>(self);
  if (check->kind != EntryKind::kLink || !complete) return kOk;
  check->kind = EntryKind::kFile;
  const uint32_t depth = StoredFolderDepth(StoredTail(check->optionWord, record.name));
  if (LinkTargetStaysInside(reinterpret_cast<const uint8_t*>(check->target), check->length, depth)) return kOk;
  return NoteFault(check->faults, kStopUnsafeLink, record.name);
}

void DropEntry(void* self) { static_cast<LinkCheck*>(self)->kind = EntryKind::kFile; }

}  // namespace

OutputSink LinkCheckSink(LinkCheck* check, uint32_t optionWord, Faults* faults) {
  check->optionWord = optionWord;
  check->faults = faults;
  check->kind = EntryKind::kFile;
  check->length = 0;
  return OutputSink{check, OpenEntry, TakeBytes, FinishEntry, DropEntry};
}
