// The front of an appended archive: overlay signature, options record, the two
// stored texts and the 36-byte archive header.
#include <cstring>
#include <stdexcept>

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

namespace {

void AppendEntry(Bytes& out, uint16_t type, const uint8_t* value, uint32_t length) {
  out.push_back(static_cast<uint8_t>(type));
  out.push_back(static_cast<uint8_t>(type >> 8));
  AppendLe32(out, length);
  out.insert(out.end(), value, value + length);
}

}  // namespace

Bytes WriteExtensionRecord(const ExtensionRecord& record) {
  Bytes out;
  if (!record.present) return out;
  uint8_t behaviour[4];
  StoreLe32(behaviour, record.behaviour);
  AppendEntry(out, kEntryBehaviour, behaviour, 4);
  if (record.titleLength != 0) AppendEntry(out, kEntryTitle, record.title, record.titleLength);
  if (record.licenceLength != 0) AppendEntry(out, kEntryLicence, record.licence, record.licenceLength);
  if (record.utf8Names) {
    uint8_t codePage[2] = {static_cast<uint8_t>(record.ansiCodePage), static_cast<uint8_t>(record.ansiCodePage >> 8)};
    AppendEntry(out, kExtensionRequired | kEntryUtf8Names, codePage, 2);
  }
  if (record.unixModes) AppendEntry(out, kExtensionRequired | kEntryUnixModes, nullptr, 0);
  const uint32_t size = static_cast<uint32_t>(out.size()) + kExtensionTrailerSize;
  if (size > kExtensionMaxSize) throw std::length_error("the extension record is larger than a reader takes");
  AppendLe32(out, size);
  out.push_back(static_cast<uint8_t>(kExtensionVersion));
  out.push_back(static_cast<uint8_t>(kExtensionVersion >> 8));
  out.push_back(0);
  out.push_back(0);
  AppendLe32(out, Crc32Of(out.data(), size - 8));
  AppendLe32(out, kExtensionMagic);
  return out;
}

Bytes WriteOptionBlock(const StoredOptions& options) {
  // With the record, the third field is its size; without, what was stored.
  Bytes out = WriteExtensionRecord(options.extension);
  const uint32_t third = options.extension.present ? static_cast<uint32_t>(out.size()) : options.record.unused;
  const Bytes block = WriteOptionBlock(options.record.optionWord, options.tempFolder,
                                       MakeExecuteText(options.execFile, options.execArgs), third);
  out.insert(out.end(), block.begin(), block.end());
  return out;
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
