// The front of an appended archive: overlay signature, options record, the two
// stored texts and the 36-byte archive header.
#include <cstring>

#include "format/crc.h"
#include "format/format.h"
#include "format/signature.h"
#include "packer/packer.h"

namespace packer {

std::string MakeExecuteText(const std::string& file, const std::string& arguments) {
  if (file.empty()) return std::string();
  return "\"[" + file + "]" + arguments + "\"";
}

bool SetOptionText(char* field, size_t room, const std::string& text) {
  if (text.size() >= room) return false;
  std::memcpy(field, text.c_str(), text.size() + 1);
  return true;
}

Bytes WriteOptionBlock(uint32_t optionWord, const std::string& tempText, const std::string& executeText,
                       uint32_t unused) {
  const char* signature = OverlaySignature();
  Bytes out(signature, signature + kSignatureLength);
  AppendLe32(out, static_cast<uint32_t>(tempText.size()));
  AppendLe32(out, static_cast<uint32_t>(executeText.size()));
  AppendLe32(out, unused);
  AppendLe32(out, optionWord);
  out.insert(out.end(), tempText.begin(), tempText.end());
  out.insert(out.end(), executeText.begin(), executeText.end());
  return out;
}

Bytes WriteOptionBlock(const StoredOptions& options) {
  return WriteOptionBlock(options.record.optionWord, options.tempFolder,
                          MakeExecuteText(options.execFile, options.execArgs), options.record.unused);
}

std::array<uint8_t, 36> MakeArchiveHeader(uint8_t profileIndex, uint8_t solidFlag) {
  std::array<uint8_t, 36> h{};
  StoreLe32(&h[0], kArchiveMarker);
  std::memcpy(&h[kHeaderVersionOffset], "106", 4);  // with its zero byte
  StoreLe32(&h[kHeaderLengthOffset], kArchiveHeaderSize);
  StoreLe32(&h[kHeaderNumberOffset], 106);
  h[kHeaderTagOffset] = kHeaderTag;
  h[kHeaderSettingsOffset] = MakeHeaderSettings(solidFlag, profileIndex);
  StoreLe32(&h[kHeaderCrcOffset], Crc32Of(h.data(), kHeaderCrcOffset));
  return h;
}

}  // namespace packer
