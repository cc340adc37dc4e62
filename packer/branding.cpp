// The resources that brand a Windows self-extractor: the application icon
// from a .ico file, the version information and the application manifest,
// and their place in the stub's resource tree.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>

#include <strings.h>

#include "format/format.h"
#include "packer/pe_resources.h"

namespace packer {

const char* const kVersionNames[9] = {"CompanyName",  "FileDescription", "FileVersion",
                                      "InternalName", "LegalCopyright",  "OriginalFilename",
                                      "ProductName",  "ProductVersion",  "Comments"};

namespace {

constexpr size_t kIconDirSize = 6, kIconEntrySize = 16, kGroupEntrySize = 14;
constexpr uint64_t kMaxIconData = 16 << 20;  // all images of one icon together
constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr uint32_t kFileOsWindows32 = 0x4;  // 32-bit Windows, 95 and NT alike
constexpr uint32_t kFileTypeApp = 1;

uint32_t U16(const Bytes& b, size_t at) { return LoadLe16(&b[at]); }
uint32_t U32(const Bytes& b, size_t at) { return LoadLe32(&b[at]); }
void Add16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Add32(Bytes& out, uint32_t v) { AppendLe32(out, v); }

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool Utf16(const std::string& text, std::u16string& out) {
  out.clear();
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    if (extra == 9 || extra > text.size() - i - 1) return false;
    uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static const uint32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return true;
}

void AddText(Bytes& out, const std::u16string& text) {
  for (char16_t c : text) Add16(out, c);
  Add16(out, 0);
}

// One block of the version resource: length, value length, type, key, the
// value and the children, each at a 4-byte boundary; the length counts no
// padding after the block's last byte.
Bytes VersionBlock(const std::u16string& key, uint16_t type, const Bytes& value, uint16_t valueLength,
                   const std::vector<Bytes>& children) {
  Bytes out;
  Add16(out, 0);
  Add16(out, valueLength);
  Add16(out, type);
  AddText(out, key);
  out.resize((out.size() + 3) & ~size_t{3});
  out.insert(out.end(), value.begin(), value.end());
  for (const auto& child : children) {
    out.resize((out.size() + 3) & ~size_t{3});
    out.insert(out.end(), child.begin(), child.end());
  }
  out[0] = static_cast<uint8_t>(out.size());
  out[1] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

// "a.b.c.d" (one to four numbers up to 65535; missing ones are 0) as two
// 32-bit halves; 0 when the text is not of that form.
uint64_t VersionNumbers(const std::string& text) {
  uint64_t parts[4] = {0, 0, 0, 0};
  size_t count = 0, digits = 0;
  for (char c : text) {
    if (c == '.' && digits > 0 && count < 3) {
      ++count;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 5) {
      parts[count] = parts[count] * 10 + static_cast<unsigned>(c - '0');
      ++digits;
    } else {
      return 0;
    }
  }
  if (digits == 0 || parts[0] > 0xFFFF || parts[1] > 0xFFFF || parts[2] > 0xFFFF || parts[3] > 0xFFFF) return 0;
  return (parts[0] << 48) | (parts[1] << 32) | (parts[2] << 16) | parts[3];
}

// Removes every resource of `type` named `name`; the language of the first removed, or -1.
int RemoveResources(std::vector<Resource>& items, uint32_t type, const ResourceKey& name) {
  int language = -1;
  for (auto it = items.begin(); it != items.end();) {
    if (it->type.text.empty() && it->type.id == type && it->name == name) {
      if (language < 0) language = it->language;
      it = items.erase(it);
    } else {
      ++it;
    }
  }
  return language;
}

// The icon IDs that a group directory names (none when it is malformed).
std::set<uint32_t> GroupIds(const Bytes& group) {
  std::set<uint32_t> ids;
  if (group.size() < kIconDirSize) return ids;
  uint32_t count = U16(group, 4);
  for (uint32_t i = 0; i < count && kIconDirSize + kGroupEntrySize * (i + 1) <= group.size(); ++i)
    ids.insert(U16(group, kIconDirSize + kGroupEntrySize * i + 12));
  return ids;
}

// The application icon is the first icon group: it is replaced with the
// .ico's images, and its old images go unless another group uses them.
std::string ReplaceIcon(std::vector<Resource>& items, const Bytes& ico) {
  auto isGroup = [](const Resource& r) { return r.type.text.empty() && r.type.id == kRtGroupIcon; };
  ResourceKey name{1, {}};
  std::set<uint32_t> old;
  auto first = std::find_if(items.begin(), items.end(), isGroup);
  for (auto it = first; it != items.end(); ++it)
    if (isGroup(*it) && it->name < first->name) first = it;
  if (first != items.end()) name = first->name, old = GroupIds(first->data);
  int language = RemoveResources(items, kRtGroupIcon, name);
  for (const auto& r : items)
    if (isGroup(r))
      for (uint32_t id : GroupIds(r.data)) old.erase(id);
  uint32_t highest = 0;
  for (auto it = items.begin(); it != items.end();) {
    bool icon = it->type.text.empty() && it->type.id == kRtIcon;
    if (icon && it->name.text.empty() && old.count(it->name.id)) {
      it = items.erase(it);
      continue;
    }
    if (icon && it->name.text.empty()) highest = std::max(highest, it->name.id);
    ++it;
  }
  std::vector<Bytes> images;
  Bytes group;
  std::string error = IconResources(ico, static_cast<uint16_t>(std::min<uint32_t>(highest + 1, 0xFFFF)), images, group);
  if (!error.empty()) return error;
  if (highest + images.size() > 0xFFFF) return "the stub has no free icon numbers left";
  uint16_t lang = language < 0 ? kLanguageEnglishUs : static_cast<uint16_t>(language);
  for (size_t i = 0; i < images.size(); ++i)
    items.push_back({{kRtIcon, {}}, {static_cast<uint32_t>(highest + 1 + i), {}}, lang, 0, std::move(images[i])});
  items.push_back({{kRtGroupIcon, {}}, name, lang, 0, std::move(group)});
  return "";
}

void ReplaceWith(std::vector<Resource>& items, uint32_t type, Bytes data) {
  ResourceKey one{1, {}};
  int language = RemoveResources(items, type, one);
  items.push_back({{type, {}}, one, language < 0 ? kLanguageEnglishUs : static_cast<uint16_t>(language), 0,
                   std::move(data)});
}

// Checks that no two images of an icon share a byte and that together they
// stay within kMaxIconData, before any is copied.
std::string ImagesApart(const Bytes& ico, uint32_t count) {
  std::vector<std::pair<uint64_t, uint32_t>> starts;  // offset, image index
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    starts.emplace_back(U32(ico, kIconDirSize + kIconEntrySize * i + 12), i);
    total += U32(ico, kIconDirSize + kIconEntrySize * i + 8);
  }
  std::sort(starts.begin(), starts.end());
  for (size_t k = 1; k < starts.size(); ++k) {
    uint32_t before = starts[k - 1].second, after = starts[k].second;
    if (starts[k - 1].first + U32(ico, kIconDirSize + kIconEntrySize * before + 8) > starts[k].first)
      return "image " + std::to_string(std::max(before, after) + 1) + " of " + std::to_string(count) +
             " shares bytes with image " + std::to_string(std::min(before, after) + 1);
  }
  return total > kMaxIconData ? "its images hold more than 16 MiB together" : "";
}

}  // namespace

bool IsExecutionLevel(const std::string& level) {
  return level == "asInvoker" || level == "highestAvailable" || level == "requireAdministrator";
}

std::string IconResources(const Bytes& ico, uint16_t firstId, std::vector<Bytes>& images, Bytes& group) {
  if (ico.size() < kIconDirSize) return "it is too short for an icon file (" + std::to_string(ico.size()) + " bytes)";
  if (U16(ico, 0) != 0 || (U16(ico, 2) != 1 && U16(ico, 2) != 2)) return "it is not an icon file";
  if (U16(ico, 2) == 2) return "it is a cursor file, not an icon file";
  uint32_t count = U16(ico, 4);
  if (count == 0) return "it holds no images";
  if (kIconDirSize + kIconEntrySize * count > ico.size())
    return "it is cut short: its directory of " + std::to_string(count) + " images ends past the file's " +
           std::to_string(ico.size()) + " bytes";
  std::vector<Bytes> found;
  Bytes directory;
  Add16(directory, 0);
  Add16(directory, 1);
  Add16(directory, count);
  for (uint32_t i = 0; i < count; ++i) {
    size_t entry = kIconDirSize + kIconEntrySize * i;
    uint64_t size = U32(ico, entry + 8), offset = U32(ico, entry + 12);
    std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (offset + size > ico.size())
      return "it is cut short: " + which + " ends at byte " + std::to_string(offset + size) + " of " +
             std::to_string(ico.size());
    if (offset < kIconDirSize + kIconEntrySize * count || size < 40)
      return which + " overlaps the directory or is too small";
    bool png = std::memcmp(&ico[offset], "\x89PNG\r\n\x1A\n", 8) == 0;
    uint32_t header = U32(ico, offset);
    if (!png && header != 40 && header != 108 && header != 124)
      return which + " is neither a bitmap nor a PNG image";
    directory.insert(directory.end(), ico.begin() + entry, ico.begin() + entry + 12);
    Add16(directory, firstId + i);
  }
  std::string error = ImagesApart(ico, count);
  if (!error.empty()) return error;
  for (uint32_t i = 0; i < count; ++i) {
    size_t entry = kIconDirSize + kIconEntrySize * i;
    found.emplace_back(ico.begin() + U32(ico, entry + 12), ico.begin() + U32(ico, entry + 12) + U32(ico, entry + 8));
  }
  images = std::move(found);
  group = std::move(directory);
  return "";
}

std::string VersionResource(const std::vector<std::pair<std::string, std::string>>& strings, Bytes& block) {
  std::string values[9];
  bool given[9] = {};
  for (const auto& pair : strings) {
    auto known = std::find_if(std::begin(kVersionNames), std::end(kVersionNames), [&pair](const char* name) {
      return strcasecmp(name, pair.first.c_str()) == 0;
    });
    if (known == std::end(kVersionNames)) {
      std::string list;
      for (const char* name : kVersionNames) list += (list.empty() ? "" : ", ") + std::string(name);
      return "'" + pair.first + "' is not a version field; use one of " + list;
    }
    size_t index = static_cast<size_t>(known - std::begin(kVersionNames));
    values[index] = pair.second;  // names match in any case; the last value given wins
    given[index] = true;
  }
  std::vector<Bytes> children;
  for (size_t i = 0; i < 9; ++i) {
    std::u16string name, value;
    if (!given[i]) continue;
    if (!Utf16(kVersionNames[i], name) || !Utf16(values[i], value))
      return "the value of " + std::string(kVersionNames[i]) + " is not UTF-8 text";
    Bytes text;
    AddText(text, value);
    children.push_back(VersionBlock(name, 1, text, static_cast<uint16_t>(value.size() + 1), {}));
  }
  Bytes fixed, translation;
  uint64_t file = VersionNumbers(values[2]), product = VersionNumbers(values[7]);
  for (uint32_t v : {kFixedSignature, 0x00010000u, static_cast<uint32_t>(file >> 32), static_cast<uint32_t>(file),
                     static_cast<uint32_t>(product >> 32), static_cast<uint32_t>(product), 0x3Fu, 0u,
                     kFileOsWindows32, kFileTypeApp, 0u, 0u, 0u})
    Add32(fixed, v);
  Add16(translation, kLanguageEnglishUs);
  Add16(translation, 1200);
  Bytes table = VersionBlock(u"040904B0", 1, {}, 0, children);
  Bytes stringInfo = VersionBlock(u"StringFileInfo", 1, {}, 0, {table});
  Bytes var = VersionBlock(u"Translation", 0, translation, 4, {});
  Bytes varInfo = VersionBlock(u"VarFileInfo", 1, {}, 0, {var});
  if (stringInfo.size() + varInfo.size() + fixed.size() + 48 > 0xFFFF)
    return "the version strings are too long: together they must stay below 64 KiB";
  block = VersionBlock(u"VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()), {stringInfo, varInfo});
  return "";
}

std::string ManifestText(const std::string& level) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
         "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
         "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
         "    <security>\r\n"
         "      <requestedPrivileges>\r\n"
         "        <requestedExecutionLevel level=\"" + level + "\" uiAccess=\"false\"/>\r\n"
         "      </requestedPrivileges>\r\n"
         "    </security>\r\n"
         "  </trustInfo>\r\n"
         "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
         "    <application>\r\n"
         "      <supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/><!-- Vista -->\r\n"
         "      <supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/><!-- 7 -->\r\n"
         "      <supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/><!-- 8 -->\r\n"
         "      <supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/><!-- 8.1 -->\r\n"
         "      <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/><!-- 10 and 11 -->\r\n"
         "    </application>\r\n"
         "  </compatibility>\r\n"
         "</assembly>\r\n";
}

std::string BrandImage(Bytes& image, const Branding& branding) {
  std::vector<Resource> items;
  std::string error = ReadResources(image, items);
  if (error.empty() && !branding.icon.empty()) error = ReplaceIcon(items, branding.icon);
  if (!error.empty()) return error;
  if (!branding.version.empty()) {
    Bytes block;
    error = VersionResource(branding.version, block);
    if (!error.empty()) return error;
    ReplaceWith(items, kRtVersion, std::move(block));
  }
  if (!branding.executionLevel.empty()) {
    if (!IsExecutionLevel(branding.executionLevel)) return "'" + branding.executionLevel + "' is not an execution level";
    std::string text = ManifestText(branding.executionLevel);
    ReplaceWith(items, kRtManifest, Bytes(text.begin(), text.end()));
  }
  return WriteResources(image, std::move(items));
}

namespace {

bool OfType(const Resource& r, uint32_t type) { return r.type.text.empty() && r.type.id == type; }

}  // namespace

std::string CarryBranding(const Bytes& from, Bytes& image, bool* carried) {
  *carried = false;
  std::vector<Resource> old, items;
  std::string error = ReadResources(from, old);
  if (error.empty()) error = ReadResources(image, items);
  if (!error.empty()) return error;
  for (uint32_t type : {kRtGroupIcon, kRtVersion, kRtManifest}) {
    if (std::none_of(old.begin(), old.end(), [type](const Resource& r) { return OfType(r, type); })) continue;
    // An icon group goes with its images: the stub's own are replaced by the old ones.
    auto taken = [type](const Resource& r) { return OfType(r, type) || (type == kRtGroupIcon && OfType(r, kRtIcon)); };
    items.erase(std::remove_if(items.begin(), items.end(), taken), items.end());
    std::copy_if(old.begin(), old.end(), std::back_inserter(items), taken);
    *carried = true;
  }
  return *carried ? WriteResources(image, std::move(items)) : "";
}

}  // namespace packer
