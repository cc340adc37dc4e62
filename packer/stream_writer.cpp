// A whole archive written piece by piece: the option block, the archive
// header and the solid header first (the file list is known before any data
// is read), then each data block as soon as the match coder finishes it, so
// that memory depends on the window and not on the size of the data.
#include <stdexcept>

#include "format/format.h"
#include "packer/packer.h"

namespace packer {

void WriteArchive(const std::vector<FileEntry>& entries, const Bytes& optionBlock,
                  int profile, int level, const DataSource& source, const BlockSink& sink,
                  std::atomic<uint64_t>* done, size_t buffer) {
  if (profile < 0 || profile >= static_cast<int>(kProfileCount))
    throw std::invalid_argument("size profile must be 0 to 8");
  uint64_t total = 0;
  for (const FileEntry& entry : entries) total += entry.size;

  Bytes front = optionBlock;
  const std::array<uint8_t, 36> header = MakeArchiveHeader(static_cast<uint8_t>(profile), 1);
  front.insert(front.end(), header.begin(), header.end());
  const Bytes solid = WriteSolidHeader(entries);
  front.insert(front.end(), solid.begin(), solid.end());
  sink(front);
  WriteDataBlocks(total, source, profile, level, sink, done, buffer);
}

}  // namespace packer
