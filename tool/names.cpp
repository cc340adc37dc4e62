// Stored names that an extraction could misuse: names that leave the target
// folder, that Windows cannot create or maps to a device, and names that land
// on the same file when case is ignored.
#include <cctype>
#include <cstring>
#include <algorithm>
#include <unordered_map>

#include "format/format.h"
#include "tool/names.h"

namespace tool {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Windows opens these as devices whatever the folder or extension.
bool IsReservedDevice(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  base = Upper(base);
  static const char* const kFixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* fixed : kFixed)
    if (base == fixed) return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

std::string ComponentReason(const std::string& component) {
  if (component.empty()) return "empty path component";
  if (component == "..") return "'..' component leaves the target folder";
  if (component == ".") return "'.' component";
  for (char c : component) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || std::strchr("<>\"|?*", c) != nullptr)
      return "character not allowed in Windows names";
  }
  if (IsReservedDevice(component)) return "reserved device name '" + component + "'";
  if (component.back() == '.' || component.back() == ' ')
    return "component ends in a dot or blank, which Windows drops";
  return "";
}

// Case-folded key with one kind of separator.
std::string CollisionKey(const std::string& name) {
  std::string key = Upper(name);
  for (char& c : key)
    if (c == '/') c = '\\';
  return key;
}

}  // namespace

std::string EffectiveName(const std::string& name) {
  size_t at = name.find(DOLM_TEMP_MARKER);
  return at == std::string::npos ? name : name.substr(at + kTempMarkerLength);
}

std::string UnsafeNameReason(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name[0] == '\\' || name[0] == '/') return "absolute path";
  if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
    return "drive letter";
  if (name.find(':') != std::string::npos) return "':' in the name (stream or device)";
  size_t start = 0;
  for (;;) {
    size_t end = name.find_first_of("\\/", start);
    std::string reason = ComponentReason(name.substr(start, end == std::string::npos ? end : end - start));
    if (!reason.empty()) return reason;
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

namespace {

uint64_t KeyHash(const std::string& key) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
  return h;
}

}  // namespace

NameProblems CheckStoredNames(size_t count, const std::function<std::string(size_t)>& nameAt) {
  NameProblems reasons;
  // A hash of each safe name's key and of each folder that holds one; the
  // keys themselves are formed again only where two hashes meet, so that a
  // list of a million names keeps a few bytes per name.
  std::vector<std::pair<uint64_t, uint32_t>> files;
  std::unordered_map<uint64_t, uint32_t> folders;  // first name that holds the folder
  auto keyOf = [&](uint32_t i) { return CollisionKey(EffectiveName(nameAt(i))); };
  for (uint32_t i = 0; i < count; ++i) {
    std::string effective = EffectiveName(nameAt(i));
    std::string why = UnsafeNameReason(effective);
    if (!why.empty()) {
      reasons[i] = why;
      continue;
    }
    std::string key = CollisionKey(effective);
    files.emplace_back(KeyHash(key), i);
    for (size_t cut = key.find('\\'); cut != std::string::npos; cut = key.find('\\', cut + 1))
      folders.emplace(KeyHash(key.substr(0, cut)), i);
  }
  std::sort(files.begin(), files.end());
  for (size_t g = 0; g < files.size();) {
    size_t end = g + 1;
    while (end < files.size() && files[end].first == files[g].first) ++end;
    for (size_t j = g + 1; j < end; ++j)
      for (size_t k = g; k < j; ++k)
        if (!reasons.count(files[k].second) && keyOf(files[j].second) == keyOf(files[k].second)) {
          reasons[files[j].second] = "same file as '" + nameAt(files[k].second) + "' when case is ignored";
          break;
        }
    g = end;
  }
  // A file that is another name's folder: the later of the two is refused.
  for (const auto& [hash, i] : files) {
    if (reasons.count(i)) continue;
    const std::string key = keyOf(i);
    for (size_t cut = key.find('\\'); cut != std::string::npos && !reasons.count(i); cut = key.find('\\', cut + 1)) {
      auto at = std::lower_bound(files.begin(), files.end(), std::make_pair(KeyHash(key.substr(0, cut)), 0u));
      for (; at != files.end() && at->first == KeyHash(key.substr(0, cut)); ++at)
        if (at->second < i && keyOf(at->second) == key.substr(0, cut)) {
          reasons[i] = "its folder is the file '" + nameAt(at->second) + "'";
          break;
        }
    }
    auto folder = folders.find(hash);
    if (reasons.count(i) || folder == folders.end() || folder->second > i) continue;
    const std::string holder = keyOf(folder->second);
    if (holder.compare(0, key.size() + 1, key + "\\") == 0)
      reasons[i] = "is a folder of '" + nameAt(folder->second) + "'";
  }
  return reasons;
}

std::vector<std::string> CheckStoredNames(const std::vector<std::string>& names) {
  std::vector<std::string> reasons(names.size());
  for (auto& [i, why] : CheckStoredNames(names.size(), [&](size_t k) { return names[k]; })) reasons[i] = why;
  return reasons;
}

}  // namespace tool
