// An output sink that hashes each file as the expansion writes it.
#include <memory>

#include "format/crc.h"
#include "format/format.h"
#include "tool/checksums.h"
#include "tool/progress.h"
#include "tool/sha256.h"

namespace tool {

namespace {

struct HashingOutput {
  std::vector<FileSums>* sums;
  uint32_t index = 0;
  uint32_t crc = 0xFFFFFFFFu;
  std::unique_ptr<Sha256> sha;
};

Result OpenHashed(void* self, uint32_t index, const FileRecord&, bool* write) {
  HashingOutput* out = static_cast<HashingOutput*>(self);
  out->index = index;
  out->crc = 0xFFFFFFFFu;
  out->sha.reset(new Sha256());
  *write = true;
  return kOk;
}

Result WriteHashed(void* self, const uint8_t* bytes, uint32_t count) {
  HashingOutput* out = static_cast<HashingOutput*>(self);
  // Crc32Update leaves the complement in its state: undo it to chain the pieces.
  Crc32Update(bytes, count, &out->crc);
  out->crc = ~out->crc;
  out->sha->Add(bytes, count);
  return kOk;
}

Result FinishHashed(void* self, uint32_t index, const FileRecord&, bool) {
  HashingOutput* out = static_cast<HashingOutput*>(self);
  (*out->sums)[index] = {~out->crc, out->sha->Hex()};
  return kOk;
}

void RemoveHashed(void*) {}

}  // namespace

std::string ExpansionDetail(const Archive& archive, Result result) {
  if (result.error != kErrorEndOfArchive && result.error != kErrorInconsistent) return SubjectDetail(archive);
  const uint64_t produced = archive.run->expansion.produced, expected = TotalSize(archive);
  // More data than the files take is not expanded to its end.
  if (result.error == kErrorInconsistent && produced > expected)
    return " (the data holds more than the " + std::to_string(expected) + " bytes of the files)" + SubjectDetail(archive);
  return " (the data holds " + std::to_string(produced) + " bytes, the files " + std::to_string(expected) + ")" +
         SubjectDetail(archive);
}

std::vector<FileSums> ComputeChecksums(Archive& archive) {
  // A file the expansion never opens holds no bytes: the sums of empty data.
  const FileSums empty{0, Sha256().Hex()};
  std::vector<FileSums> sums(Files(archive).count, empty);
  HashingOutput output{&sums, 0, 0xFFFFFFFFu, nullptr};
  Result expanded;
  {
    ProgressLine progress([&] { return ProgressText("hashing", archive); });
    expanded = ExpandInto(archive.run.get(), OutputSink{&output, OpenHashed, WriteHashed, FinishHashed, RemoveHashed});
  }
  if (!expanded.ok()) throw Failure(Describe(archive) + ExpansionDetail(archive, expanded));
  return sums;
}

}  // namespace tool
