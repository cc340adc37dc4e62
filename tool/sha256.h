// SHA-256 (FIPS 180-4) of a byte stream fed in pieces, for the checksums
// `dolm list --checksums` prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tool {

class Sha256 {
 public:
  Sha256();
  void Add(const uint8_t* bytes, size_t count);
  // The digest as 64 lowercase hexadecimal digits; ends the stream.
  std::string Hex();

 private:
  void Compress(const uint8_t* block);
  uint32_t state_[8];
  uint8_t block_[64];
  size_t filled_ = 0;  // bytes in block_
  uint64_t length_ = 0;  // bytes added in all
};

}  // namespace tool
