// A whole archive in memory: the streaming writer fed from the files' data
// and collecting the pieces in one buffer.
#include <cstring>

#include "packer/packer.h"

namespace packer {

Bytes BuildArchive(const std::vector<PackFile>& files, const Bytes& optionBlock,
                   int profile, int level, std::atomic<uint64_t>* done) {
  uint64_t total = 0;
  for (const PackFile& file : files) total += file.data.size();
  // The files one after the other, as one stream.
  size_t index = 0, offset = 0;
  const DataSource source = [&](uint8_t* into, size_t size) {
    while (index < files.size() && offset == files[index].data.size()) {
      ++index;
      offset = 0;
    }
    if (index == files.size()) return size_t{0};
    size = std::min(size, files[index].data.size() - offset);
    std::memcpy(into, files[index].data.data() + offset, size);
    offset += size;
    return size;
  };
  Bytes out;
  const BlockSink sink = [&](const Bytes& piece) { out.insert(out.end(), piece.begin(), piece.end()); };
  // Everything in one buffer, as the data is in memory anyway.
  WriteArchive(EntriesOf(files), optionBlock, profile, level, source, sink, done, static_cast<size_t>(total));
  return out;
}

}  // namespace packer
