// The solid header, writing side: one entry per file (time, size, name length,
// attributes, six reserved bytes, name), packed with the context splay coder,
// behind the file count, the header check and the packed length.
#include <stdexcept>

#include "format/format.h"
#include "format/crc.h"
#include "packer/packer.h"

namespace packer {

Bytes WriteSolidHeader(const std::vector<PackFile>& files) { return WriteSolidHeader(EntriesOf(files)); }

std::vector<FileEntry> EntriesOf(const std::vector<PackFile>& files) {
  std::vector<FileEntry> entries;
  for (const PackFile& file : files) {
    if (file.data.size() > 0x7FFFFFFFu)
      throw std::invalid_argument("file larger than 2 GiB: " + file.name);
    entries.push_back({file.name, static_cast<uint32_t>(file.data.size()), file.time, file.attributes, file.mode});
  }
  return entries;
}

Bytes WriteSolidHeader(const std::vector<FileEntry>& files) {
  if (files.size() > 0xFFFFFFFFu / kEntryBudget)
    throw std::invalid_argument("too many files for one archive");
  Bytes entries;
  for (const FileEntry& file : files) {
    if (file.name.size() > 255)
      throw std::invalid_argument("stored name longer than 255 characters: " + file.name);
    AppendLe32(entries, file.time);
    AppendLe32(entries, file.size);
    entries.push_back(static_cast<uint8_t>(file.name.size()));
    entries.push_back(file.attributes);
    // The six reserved bytes are written as zeros (the classic stub never
    // reads them, and zeros cost the fewest bits once the coder has seen a
    // few), but for the mode in the first two when one is stored.
    static_assert(kStoredModeOffset == 10, "the mode follows the attribute byte");
    entries.push_back(static_cast<uint8_t>(file.mode));
    entries.push_back(static_cast<uint8_t>(file.mode >> 8));
    entries.insert(entries.end(), 4, 0);
    entries.insert(entries.end(), file.name.begin(), file.name.end());
  }
  const Bytes packed = PackHeaderBytes(entries);
  // The stub reserves 276 bytes per file for the packed header and refuses more.
  if (packed.size() > files.size() * kEntryBudget)
    throw std::invalid_argument("the packed file list does not fit the stub's header buffer");

  Bytes out;
  AppendLe32(out, static_cast<uint32_t>(files.size()));
  const uint16_t check = Crc16Of(packed.data(), static_cast<uint32_t>(packed.size()));
  out.push_back(static_cast<uint8_t>(check & 0xFF));
  out.push_back(static_cast<uint8_t>(check >> 8));
  AppendLe32(out, static_cast<uint32_t>(packed.size()));
  out.insert(out.end(), packed.begin(), packed.end());
  return out;
}

}  // namespace packer
