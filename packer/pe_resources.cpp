// The resource section of a PE32 / PE32+ image: the three-level directory
// tree (type, name, language) read into a flat list of leaves, and written
// back as one new section at the same address.
//
// The new section is laid out as the linkers lay it out: every directory
// table (root, types, names) first, then the data entries, then the name
// texts, then the data, each piece at an 8-byte boundary. A larger section
// moves the base relocation section behind it up; nothing else may follow
// the resource section, so no code or data address changes.
#include <algorithm>
#include <cstring>
#include <map>

#include "format/format.h"
#include "packer/pe_resources.h"

namespace packer {

namespace {

// Offsets in the PE headers.
constexpr size_t kLfanewOffset = 0x3C;
constexpr size_t kCoffSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kOptInitializedData = 8, kOptSectionAlign = 32, kOptFileAlign = 36;
constexpr size_t kOptImageSize = 56, kOptChecksum = 64;
constexpr uint16_t kMagicPe32 = 0x10B, kMagicPe32Plus = 0x20B;
constexpr unsigned kDirSecurity = 4, kDirResource = 2, kDirRelocation = 5;
constexpr uint32_t kSectionInitializedData = 0x40;
constexpr size_t kMaxLeaves = 10000;    // far more than any stub holds
constexpr size_t kMaxVisits = 100000;   // directory entries read, against shared subtrees

// Little-endian fields at an offset of an image (the caller checks the bounds).
uint32_t U16(const Bytes& b, size_t at) { return LoadLe16(&b[at]); }
uint32_t U32(const Bytes& b, size_t at) { return LoadLe32(&b[at]); }
void Put16(Bytes& b, size_t at, uint32_t v) { StoreLe16(&b[at], v); }
void Put32(Bytes& b, size_t at, uint32_t v) { StoreLe32(&b[at], v); }
uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }
bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

struct Section {
  size_t header;  // offset of its 40-byte header
  uint32_t virtualSize, address, rawSize, rawOffset, characteristics;
};

// Where the headers of a PE image are, checked against the file's size.
struct PeLayout {
  size_t optional = 0;    // offset of the optional header
  size_t directories = 0; // offset of the data directory
  uint32_t directoryCount = 0;
  uint32_t sectionAlign = 0, fileAlign = 0;
  std::vector<Section> sections;
};

uint32_t Directory(const Bytes& image, const PeLayout& pe, unsigned index, unsigned field) {
  return index < pe.directoryCount ? U32(image, pe.directories + 8 * index + 4 * field) : 0;
}

std::string ParseLayout(const Bytes& image, PeLayout& pe) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return "it is not a Windows program (no MZ header)";
  uint64_t coff = uint64_t{U32(image, kLfanewOffset)} + 4;
  if (coff + kCoffSize + 2 > image.size() || std::memcmp(&image[coff - 4], "PE\0\0", 4) != 0)
    return "it is not a Windows program (no PE header)";
  uint32_t sectionCount = U16(image, coff + 2), optionalSize = U16(image, coff + 16);
  pe.optional = coff + kCoffSize;
  uint32_t magic = U16(image, pe.optional);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) return "its optional header is neither PE32 nor PE32+";
  size_t countAt = pe.optional + (magic == kMagicPe32 ? 92 : 108);
  if (optionalSize < countAt + 4 - pe.optional || pe.optional + optionalSize > image.size())
    return "its optional header is cut short";
  pe.directories = countAt + 4;
  pe.directoryCount = std::min<uint32_t>(U32(image, countAt), 16);
  if (pe.directories + 8 * pe.directoryCount > pe.optional + optionalSize || pe.directoryCount <= kDirRelocation)
    return "its data directory is cut short";
  pe.sectionAlign = U32(image, pe.optional + kOptSectionAlign);
  pe.fileAlign = U32(image, pe.optional + kOptFileAlign);
  if (!PowerOfTwo(pe.fileAlign) || pe.fileAlign < 512 || !PowerOfTwo(pe.sectionAlign) || pe.sectionAlign < pe.fileAlign)
    return "its section or file alignment is not valid";
  size_t table = pe.optional + optionalSize;
  if (sectionCount == 0 || sectionCount > 96 || table + kSectionHeaderSize * sectionCount > image.size())
    return "its section table is damaged";
  pe.sections.clear();
  for (size_t i = 0; i < sectionCount; ++i) {
    size_t h = table + kSectionHeaderSize * i;
    Section s{h, U32(image, h + 8), U32(image, h + 12), U32(image, h + 16), U32(image, h + 20), U32(image, h + 36)};
    if (uint64_t{s.rawOffset} + s.rawSize > image.size()) return "a section runs past the end of the file";
    pe.sections.push_back(s);
  }
  return "";
}

// The file offset of `rva` and how many bytes of its section follow it.
bool MapAddress(const PeLayout& pe, uint32_t rva, size_t& offset, size_t& available) {
  for (const auto& s : pe.sections) {
    if (rva >= s.address && rva - s.address < s.rawSize) {
      offset = s.rawOffset + (rva - s.address);
      available = s.rawSize - (rva - s.address);
      return true;
    }
  }
  return false;
}

constexpr const char* kShared = "the resource tree has shared or overlapping entries";

// A cursor over the resource section: offsets are relative to its start.
struct TreeReader {
  const Bytes& image;
  const PeLayout& pe;
  size_t base, size;
  size_t visits = 0;
  std::vector<Resource>& out;
  std::map<uint64_t, uint64_t> claimed;  // file ranges read so far (start -> end), none shared
  uint64_t copied = 0;                    // bytes of data and names copied into `out`

  bool Has(uint64_t at, uint64_t count) const { return at + count <= size; }
  // Marks [start, start + count) of the file as read; false when it meets a
  // range read before, so that no table, entry or data is reached twice.
  bool Claim(uint64_t start, uint64_t count) {
    if (count == 0) return true;
    auto next = claimed.lower_bound(start);
    if (next != claimed.end() && next->first < start + count) return false;
    if (next != claimed.begin() && std::prev(next)->second > start) return false;
    claimed.emplace(start, start + count);
    return true;
  }
  std::string Key(uint32_t field, ResourceKey& key) const {
    key = ResourceKey();
    if ((field & 0x80000000u) == 0) {
      key.id = field;
      return "";
    }
    uint32_t at = field & 0x7FFFFFFFu;
    if (!Has(at, 2) || !Has(at + 2, 2 * uint64_t{U16(image, base + at)}) || U16(image, base + at) == 0)
      return "a resource name lies outside the resource section";
    for (uint32_t i = 0; i < U16(image, base + at); ++i)
      key.text.push_back(static_cast<char16_t>(U16(image, base + at + 2 + 2 * i)));
    return "";
  }
  std::string Leaf(uint32_t at, Resource& leaf) {
    if (!Has(at, 16)) return "a resource data entry lies outside the resource section";
    uint32_t rva = U32(image, base + at), length = U32(image, base + at + 4);
    size_t offset = 0, available = 0;
    if (!MapAddress(pe, rva, offset, available) || length > available)
      return "the data of a resource lies outside the image";
    if (!Claim(base + at, 16) || !Claim(offset, length)) return kShared;
    // Data never overlaps, so this bounds the names copied into every leaf.
    copied += length + 2 * (leaf.type.text.size() + leaf.name.text.size());
    if (copied > image.size()) return "the names of the resource tree are too long";
    leaf.codePage = U32(image, base + at + 8);
    leaf.data.assign(image.begin() + offset, image.begin() + offset + length);
    out.push_back(leaf);
    return out.size() > kMaxLeaves ? "the resource tree holds too many entries" : "";
  }
  // Reads the table at `at`; level 0 holds types, 1 names, 2 languages.
  std::string Table(uint32_t at, int level, Resource& path) {
    if (!Has(at, 16)) return "a resource directory lies outside the resource section";
    uint64_t count = uint64_t{U16(image, base + at + 12)} + U16(image, base + at + 14);
    if (!Has(at + 16, 8 * count)) return "a resource directory lies outside the resource section";
    if (!Claim(base + at, 16 + 8 * count)) return kShared;
    for (uint64_t i = 0; i < count; ++i) {
      if (++visits > kMaxVisits) return "the resource tree holds too many entries";
      size_t entry = base + at + 16 + 8 * i;
      uint32_t name = U32(image, entry), target = U32(image, entry + 4);
      ResourceKey key;
      std::string error = Key(name, key);
      if (!error.empty()) return error;
      bool subtable = (target & 0x80000000u) != 0;
      if (subtable != (level < 2) || (level == 2 && (!key.text.empty() || key.id > 0xFFFF)))
        return "the resource tree is not three levels deep";
      if (level == 0) path.type = key;
      if (level == 1) path.name = key;
      if (level == 2) path.language = static_cast<uint16_t>(key.id);
      error = subtable ? Table(target & 0x7FFFFFFFu, level + 1, path) : Leaf(target, path);
      if (!error.empty()) return error;
    }
    return "";
  }
};

// Groups [begin, end) of sorted leaves that share a key at `level`.
std::vector<std::pair<size_t, size_t>> Groups(const std::vector<Resource>& items, size_t begin, size_t end,
                                              int level) {
  auto same = [level](const Resource& a, const Resource& b) {
    return a.type == b.type && (level == 0 || a.name == b.name);
  };
  std::vector<std::pair<size_t, size_t>> groups;
  for (size_t i = begin; i < end; ++i) {
    if (groups.empty() || !same(items[groups.back().first], items[i])) groups.push_back({i, i});
    groups.back().second = i + 1;
  }
  return groups;
}

using Spans = std::vector<std::pair<size_t, size_t>>;

// Where the tables of the resource section go: the type table at 0, then a
// name table per type, a language table per name, and the data entries.
struct SectionLayout {
  Spans types;                     // items of each type
  std::vector<Spans> names;        // per type, the items of each name
  std::vector<size_t> typeTables;  // per type, the offset of its name table
  std::vector<size_t> nameTables;  // per name, in order, its language table
  size_t entries = 0;              // the first data entry
  size_t size = 0;                 // the tables and entries together
};

SectionLayout LayOutSection(const std::vector<Resource>& items) {
  SectionLayout layout;
  layout.types = Groups(items, 0, items.size(), 0);
  size_t offset = 16 + 8 * layout.types.size();
  for (const auto& t : layout.types) {
    layout.names.push_back(Groups(items, t.first, t.second, 1));
    layout.typeTables.push_back(offset);
    offset += 16 + 8 * layout.names.back().size();
  }
  for (const auto& n : layout.names)
    for (const auto& group : n) {
      layout.nameTables.push_back(offset);
      offset += 16 + 8 * (group.second - group.first);
    }
  layout.entries = offset;
  layout.size = offset + 16 * items.size();
  return layout;
}

// Writes one table header and returns the offset of its first entry.
size_t PutTableHeader(Bytes& out, size_t at, size_t named, size_t numbered) {
  Put16(out, at + 12, static_cast<uint32_t>(named));
  Put16(out, at + 14, static_cast<uint32_t>(numbered));
  return at + 16;
}

// An entry's key: a number, or a counted UTF-16 text appended to the section.
void PutKey(Bytes& out, size_t entry, const ResourceKey& k) {
  if (k.text.empty()) return Put32(out, entry, k.id);
  Put32(out, entry, 0x80000000u | static_cast<uint32_t>(out.size()));
  size_t at = out.size();
  out.resize(at + 2 + 2 * k.text.size());
  Put16(out, at, static_cast<uint32_t>(k.text.size()));
  for (size_t i = 0; i < k.text.size(); ++i) Put16(out, at + 2 + 2 * i, k.text[i]);
}

// A table's header: its named entries, then its numbered ones.
size_t PutGroupsHeader(Bytes& out, size_t at, const std::vector<Resource>& items, const Spans& groups,
                       int level) {
  size_t named = 0;
  for (const auto& r : groups) named += !(level == 0 ? items[r.first].type : items[r.first].name).text.empty();
  return PutTableHeader(out, at, named, groups.size() - named);
}

// The resource section of sorted, distinct `items` when it starts at `rva`.
Bytes BuildSection(const std::vector<Resource>& items, uint32_t rva) {
  const SectionLayout layout = LayOutSection(items);
  Bytes out(layout.size);
  size_t entry = PutGroupsHeader(out, 0, items, layout.types, 0);
  size_t nameIndex = 0;
  for (size_t t = 0; t < layout.types.size(); ++t, entry += 8) {
    PutKey(out, entry, items[layout.types[t].first].type);
    Put32(out, entry + 4, 0x80000000u | static_cast<uint32_t>(layout.typeTables[t]));
    size_t nameEntry = PutGroupsHeader(out, layout.typeTables[t], items, layout.names[t], 1);
    for (const auto& group : layout.names[t]) {
      PutKey(out, nameEntry, items[group.first].name);
      size_t table = layout.nameTables[nameIndex++];
      Put32(out, nameEntry + 4, 0x80000000u | static_cast<uint32_t>(table));
      nameEntry += 8;
      size_t languageEntry = PutTableHeader(out, table, 0, group.second - group.first);
      for (size_t i = group.first; i < group.second; ++i, languageEntry += 8) {
        Put32(out, languageEntry, items[i].language);
        Put32(out, languageEntry + 4, static_cast<uint32_t>(layout.entries + 16 * i));
      }
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    out.resize(AlignUp(out.size(), 8));
    Put32(out, layout.entries + 16 * i, rva + static_cast<uint32_t>(out.size()));
    Put32(out, layout.entries + 16 * i + 4, static_cast<uint32_t>(items[i].data.size()));
    Put32(out, layout.entries + 16 * i + 8, items[i].codePage);
    out.insert(out.end(), items[i].data.begin(), items[i].data.end());
  }
  return out;
}

}  // namespace

bool ResourceKey::operator<(const ResourceKey& other) const {
  if (text.empty() != other.text.empty()) return !text.empty();
  return text.empty() ? id < other.id : text < other.text;
}

bool IsElfImage(const Bytes& image) {
  return image.size() >= 4 && std::memcmp(image.data(), "\x7F" "ELF", 4) == 0;
}

std::string ReadResources(const Bytes& image, std::vector<Resource>& resources) {
  PeLayout pe;
  std::string error = ParseLayout(image, pe);
  if (!error.empty()) return error;
  std::vector<Resource> found;
  uint32_t rva = Directory(image, pe, kDirResource, 0);
  size_t base = 0, available = 0;
  if (rva != 0) {
    if (!MapAddress(pe, rva, base, available)) return "its resource table lies outside every section";
    TreeReader reader{image, pe, base, available, 0, found, {}, 0};
    Resource path;
    error = reader.Table(0, 0, path);
    if (!error.empty()) return error;
  }
  resources = std::move(found);
  return "";
}

PeChecksummer::PeChecksummer(const Bytes& head)
    : field_(head.size() >= 0x40 ? uint64_t{U32(head, kLfanewOffset)} + 4 + kCoffSize + kOptChecksum : 0) {}

void PeChecksummer::Add(const uint8_t* data, size_t size) {
  // 16-bit little-endian words with the carry folded back, the checksum field as zero.
  for (size_t i = 0; i < size; ++i) {
    uint32_t value = position_ - field_ < 4 ? 0 : data[i];
    if (position_++ & 1) {
      sum_ += low_ | (value << 8);
      sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    } else {
      low_ = value;
    }
  }
}

uint32_t PeChecksummer::Value() const {
  uint64_t sum = sum_;
  if (position_ & 1) sum += low_;
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + position_);
}

uint32_t PeChecksum(const Bytes& file, const Bytes& tail) {
  PeChecksummer sum(file);
  sum.Add(file.data(), file.size());
  sum.Add(tail.data(), tail.size());
  return sum.Value();
}

bool SetPeChecksum(Bytes& file, const Bytes& tail) { return SetPeChecksum(file, PeChecksum(file, tail)); }

bool SetPeChecksum(Bytes& file, uint32_t checksum) {
  PeLayout pe;
  if (!ParseLayout(file, pe).empty()) return false;
  Put32(file, pe.optional + kOptChecksum, checksum);
  return true;
}

namespace {

// Finds the resource section and checks that it can grow: only the base
// relocation section may follow it, the file ends with the last section, no
// other table lies behind it, and the image is not signed yet.
std::string FindMovableResources(const Bytes& image, const PeLayout& pe, size_t& index, bool& relocFollows) {
  uint32_t rva = Directory(image, pe, kDirResource, 0);
  auto at = std::find_if(pe.sections.begin(), pe.sections.end(), [rva](const Section& s) { return s.address == rva; });
  if (rva == 0 || at == pe.sections.end()) return "it has no resource section to rewrite";
  index = static_cast<size_t>(at - pe.sections.begin());
  // The new section is written from its raw offset on, and the headers into what comes before.
  if (at->rawOffset < pe.sections.front().header + kSectionHeaderSize * pe.sections.size())
    return "its resource section overlaps its headers or section table";
  relocFollows = index + 2 == pe.sections.size() &&
                 pe.sections.back().address == Directory(image, pe, kDirRelocation, 0);
  if (index + 1 != pe.sections.size() && !relocFollows)
    return "sections other than the base relocations follow its resource section";
  for (size_t i = 0; i < index; ++i)
    if (uint64_t{pe.sections[i].address} + std::max(pe.sections[i].virtualSize, pe.sections[i].rawSize) > rva)
      return "a section before its resource section reaches into the resource section's addresses";
  if (Directory(image, pe, kDirSecurity, 0) != 0 || Directory(image, pe, kDirSecurity, 1) != 0)
    return "it is already signed; brand the stub before signing the self-extractor";
  for (unsigned d = 0; d < pe.directoryCount; ++d)
    if (d != kDirResource && d != kDirRelocation && Directory(image, pe, d, 0) >= rva)
      return "a table other than the resources and relocations lies in or behind its resource section";
  for (size_t i = index; i + 1 < pe.sections.size(); ++i)
    if (pe.sections[i].rawOffset + pe.sections[i].rawSize != pe.sections[i + 1].rawOffset)
      return "its last sections do not lie one after the other in the file";
  if (uint64_t{pe.sections.back().rawOffset} + pe.sections.back().rawSize != image.size())
    return "it holds data after its last section";
  return "";
}

}  // namespace

std::string WriteResources(Bytes& image, std::vector<Resource> resources) {
  PeLayout pe;
  size_t index = 0;
  bool relocFollows = false;
  std::string error = ParseLayout(image, pe);
  if (error.empty()) error = FindMovableResources(image, pe, index, relocFollows);
  if (!error.empty()) return error;
  const Section rsrc = pe.sections[index];
  const Section& last = pe.sections.back();

  std::sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
    if (!(a.type == b.type)) return a.type < b.type;
    if (!(a.name == b.name)) return a.name < b.name;
    return a.language < b.language;
  });
  for (size_t i = 1; i < resources.size(); ++i)
    if (resources[i].type == resources[i - 1].type && resources[i].name == resources[i - 1].name &&
        resources[i].language == resources[i - 1].language)
      return "two resources have the same type, name and language";
  Bytes section = BuildSection(resources, rsrc.address);
  uint64_t rawSize = AlignUp(section.size(), pe.fileAlign);
  uint64_t end = AlignUp(uint64_t{rsrc.address} + section.size(), pe.sectionAlign);
  if (end > 0x7FFFFFFF || rawSize > 0x7FFFFFFF) return "its resources would be too large";

  Bytes out(image.begin(), image.begin() + rsrc.rawOffset);
  out.insert(out.end(), section.begin(), section.end());
  out.resize(rsrc.rawOffset + rawSize);
  Put32(out, rsrc.header + 8, static_cast<uint32_t>(section.size()));
  Put32(out, rsrc.header + 16, static_cast<uint32_t>(rawSize));
  Put32(out, pe.directories + 8 * kDirResource + 4, static_cast<uint32_t>(section.size()));
  uint32_t imageEnd = static_cast<uint32_t>(end);
  if (relocFollows) {
    out.insert(out.end(), image.begin() + last.rawOffset, image.begin() + last.rawOffset + last.rawSize);
    Put32(out, last.header + 12, imageEnd);
    Put32(out, last.header + 20, static_cast<uint32_t>(rsrc.rawOffset + rawSize));
    Put32(out, pe.directories + 8 * kDirRelocation, imageEnd);
    imageEnd = static_cast<uint32_t>(AlignUp(uint64_t{imageEnd} + std::max(last.virtualSize, last.rawSize), pe.sectionAlign));
  }
  Put32(out, pe.optional + kOptImageSize, imageEnd);
  if (rsrc.characteristics & kSectionInitializedData)
    Put32(out, pe.optional + kOptInitializedData,
          static_cast<uint32_t>(U32(out, pe.optional + kOptInitializedData) + rawSize - rsrc.rawSize));
  Put32(out, pe.optional + kOptChecksum, PeChecksum(out, {}));
  image = std::move(out);
  return "";
}

}  // namespace packer
