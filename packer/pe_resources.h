// Resources of a Windows stub image: reading the resource tree of a PE32 or
// PE32+ image, writing a new one in its place, and the resources that brand a
// self-extractor (application icon, version information, manifest).
// Every procedure returns an error message ("" on success) and leaves its
// output alone on failure.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "packer/packer.h"

namespace packer {

// Resource types used here.
constexpr uint32_t kRtIcon = 3;
constexpr uint32_t kRtGroupIcon = 14;
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kRtManifest = 24;
constexpr uint16_t kLanguageEnglishUs = 0x0409;

// A type or name in the resource tree: a number, or a UTF-16 text when
// `text` is not empty.
struct ResourceKey {
  uint32_t id = 0;
  std::u16string text;
  bool operator==(const ResourceKey& other) const { return id == other.id && text == other.text; }
  bool operator<(const ResourceKey& other) const;  // texts first, then numbers
};

// One leaf of the tree: type / name / language -> data.
struct Resource {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  uint32_t codePage = 0;
  Bytes data;
};

// Reads every resource of a PE image (none when it has no resource table).
std::string ReadResources(const Bytes& image, std::vector<Resource>& resources);
// Writes `resources` as the image's resource section: the section is rebuilt
// at its address, the base relocation section behind it moves up, and the
// section table, image size, data directory and checksum follow.
std::string WriteResources(Bytes& image, std::vector<Resource> resources);
// The PE checksum of the file `file` + `tail`, as the loader computes it.
uint32_t PeChecksum(const Bytes& file, const Bytes& tail);
// The same computed piece by piece: Add every byte of the file in order,
// from its start, whose first bytes are `head`.
class PeChecksummer {
 public:
  explicit PeChecksummer(const Bytes& head);
  void Add(const uint8_t* data, size_t size);
  uint32_t Value() const;

 private:
  uint64_t field_;  // file offset of the checksum field, counted as zero
  uint64_t sum_ = 0, position_ = 0;
  uint32_t low_ = 0;  // the low byte of a word not yet complete
};
// Stores that checksum in the optional header of `file`. False when `file`
// is not a PE image.
bool SetPeChecksum(Bytes& file, const Bytes& tail);
bool SetPeChecksum(Bytes& file, uint32_t checksum);
// True when the image starts as an ELF file (the Linux stub).
bool IsElfImage(const Bytes& image);

// What `dolm pack` changes in a Windows stub.
struct Branding {
  Bytes icon;                                                // a whole .ico file; empty: keep
  std::vector<std::pair<std::string, std::string>> version;  // NAME=VALUE in order; empty: keep
  std::string executionLevel;                                // empty: keep
};
// The names that --version-info accepts, in the order they are stored.
extern const char* const kVersionNames[9];
// Checks a level name: asInvoker, highestAvailable or requireAdministrator.
bool IsExecutionLevel(const std::string& level);

// RT_ICON images and the RT_GROUP_ICON directory of a .ico file (icon IDs
// from `firstId` on), or an error that says what is wrong with the file.
std::string IconResources(const Bytes& ico, uint16_t firstId, std::vector<Bytes>& images,
                          Bytes& group);
// The VS_VERSIONINFO block of the given strings (language 0x0409, code page 1200).
std::string VersionResource(const std::vector<std::pair<std::string, std::string>>& strings,
                            Bytes& block);
// The application manifest that requests `level`.
std::string ManifestText(const std::string& level);
// Applies `branding` to a stub image.
std::string BrandImage(Bytes& image, const Branding& branding);
// Copies the icon (group and images), version information and manifest that
// the stub image `from` holds into `image`, in place of the image's own of
// each kind; kinds `from` lacks stay as `image` has them. *carried tells
// whether anything was copied.
std::string CarryBranding(const Bytes& from, Bytes& image, bool* carried);

}  // namespace packer
