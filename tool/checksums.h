// The CRC-32 and SHA-256 of every stored file, found by expanding the archive
// into an output that only hashes (`dolm list --checksums`).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool/open_archive.h"

namespace tool {

struct FileSums {
  uint32_t crc32;
  std::string sha256;  // 64 hexadecimal digits
};
// The sums of the files of an archive opened with Reading::kData, in table
// order; a damaged archive is a Failure, as in `dolm test`.
std::vector<FileSums> ComputeChecksums(Archive& archive);
// What `dolm test` adds to Describe when the data does not fill the files.
std::string ExpansionDetail(const Archive& archive, Result result);

}  // namespace tool
