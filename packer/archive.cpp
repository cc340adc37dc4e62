// A whole archive: the option block, the archive header, the solid header and
// the data blocks of the files' joined bytes, in the order the stub reads them.
#include <stdexcept>

#include "container/format.h"
#include "packer/packer.h"

namespace packer {

Bytes BuildArchive(const std::vector<PackFile>& files, const StoredOptions& options,
                   int profile, int level, std::atomic<uint64_t>* done) {
  if (profile < 0 || profile >= static_cast<int>(kProfileCount))
    throw std::invalid_argument("size profile must be 0 to 8");

  Bytes out = WriteOptionBlock(options);
  const std::array<uint8_t, 36> header = MakeArchiveHeader(static_cast<uint8_t>(profile), 1);
  out.insert(out.end(), header.begin(), header.end());

  const Bytes solid = WriteSolidHeader(files);
  out.insert(out.end(), solid.begin(), solid.end());

  Bytes joined;
  size_t total = 0;
  for (const PackFile& file : files) total += file.data.size();
  joined.reserve(total);
  for (const PackFile& file : files) joined.insert(joined.end(), file.data.begin(), file.data.end());

  const Bytes blocks = WriteDataBlocks(joined, profile, level, done);
  out.insert(out.end(), blocks.begin(), blocks.end());
  return out;
}

}  // namespace packer
