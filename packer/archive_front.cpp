// The front of an appended archive: overlay signature, options record, the two
// stored texts and the 36-byte archive header; and joining a stub image with
// an archive into one file.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "container/format.h"
#include "engine/engine.h"
#include "packer/packer.h"
#include "platform/platform.h"

namespace packer {

namespace {

void PutU32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutU32At(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Counts the places where the overlay signature starts in `image`.
size_t CountSignatures(const Bytes& image) {
  static const char kSig[] = DOLM_OVERLAY_SIGNATURE;
  size_t count = 0;
  if (image.size() < kSignatureLength) return 0;
  for (size_t i = 0; i + kSignatureLength <= image.size(); ++i) {
    if (image[i] == static_cast<uint8_t>(kSig[0]) &&
        std::memcmp(&image[i], kSig, kSignatureLength) == 0)
      ++count;
  }
  return count;
}

}  // namespace

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
  static const char kSig[] = DOLM_OVERLAY_SIGNATURE;
  Bytes out(kSig, kSig + kSignatureLength);
  PutU32(out, static_cast<uint32_t>(tempText.size()));
  PutU32(out, static_cast<uint32_t>(executeText.size()));
  PutU32(out, unused);
  PutU32(out, optionWord);
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
  PutU32At(&h[0], kArchiveMarker);
  std::memcpy(&h[kHeaderVersionOffset], "106", 4);  // with its zero byte
  PutU32At(&h[kHeaderLengthOffset], kArchiveHeaderSize);
  PutU32At(&h[kHeaderNumberOffset], 106);
  h[kHeaderTagOffset] = kHeaderTag;
  h[kHeaderSettingsOffset] =
      static_cast<uint8_t>(((solidFlag & 3u) << 2) | ((profileIndex & 15u) << 4));
  PutU32At(&h[kHeaderCrcOffset], Crc32Of(h.data(), kHeaderCrcOffset));
  return h;
}

std::string AppendToStub(const std::string& stubPath, const Bytes& archive,
                         const std::string& outPath) {
  std::ifstream in(stubPath, std::ios::binary);
  if (!in) return "cannot read the stub '" + stubPath + "'";
  Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return "cannot read the stub '" + stubPath + "'";
  return AppendToStubImage(image, "the stub '" + stubPath + "'", archive, outPath);
}

std::string AppendToStubImage(const Bytes& image, const std::string& what, const Bytes& archive,
                              const std::string& outPath) {
  // The stub finds its archive only when the archive's signature lies wholly
  // inside the search window, and only as the second occurrence in the file.
  if (image.size() > kMaxArchiveStart)
    return what + " is " + std::to_string(image.size()) +
           " bytes long; the archive must start at offset " +
           std::to_string(kMaxArchiveStart) + " or earlier";
  size_t copies = CountSignatures(image);
  if (copies != 1)
    return what + " holds " + std::to_string(copies) +
           " copies of the overlay signature instead of exactly one";

  std::string temp = outPath + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot create '" + temp + "'";
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.write(reinterpret_cast<const char*>(archive.data()),
              static_cast<std::streamsize>(archive.size()));
    out.close();
    if (!out) {
      std::remove(temp.c_str());
      return "cannot write '" + temp + "'";
    }
  }
  PlatformMakeExecutable(temp.c_str());
  if (std::rename(temp.c_str(), outPath.c_str()) != 0) {
    std::remove(temp.c_str());
    return "cannot rename '" + temp + "' to '" + outPath + "'";
  }
  return std::string();
}

}  // namespace packer
