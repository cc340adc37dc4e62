// Stored names that an extraction could misuse: names that leave the target
// folder, that Windows cannot create or maps to a device, and names that land
// on the same file when case is ignored.
#include <cctype>
#include <cstring>
#include <map>

#include "container/format.h"
#include "tool/tool.h"

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

std::vector<std::string> CheckStoredNames(const std::vector<std::string>& names) {
  std::vector<std::string> reasons(names.size());
  std::map<std::string, size_t> files;    // key of each file seen
  std::map<std::string, size_t> folders;  // key of each folder that holds a file
  for (size_t i = 0; i < names.size(); ++i) {
    std::string effective = EffectiveName(names[i]);
    reasons[i] = UnsafeNameReason(effective);
    if (!reasons[i].empty()) continue;
    std::string key = CollisionKey(effective);
    auto file = files.find(key);
    auto folder = folders.find(key);
    if (file != files.end()) {
      reasons[i] = "same file as '" + names[file->second] + "' when case is ignored";
    } else if (folder != folders.end()) {
      reasons[i] = "is a folder of '" + names[folder->second] + "'";
    } else {
      for (size_t cut = key.find('\\'); cut != std::string::npos; cut = key.find('\\', cut + 1)) {
        auto clash = files.find(key.substr(0, cut));
        if (clash != files.end()) {
          reasons[i] = "its folder is the file '" + names[clash->second] + "'";
          break;
        }
      }
    }
    if (!reasons[i].empty()) continue;
    files.emplace(key, i);
    for (size_t cut = key.find('\\'); cut != std::string::npos; cut = key.find('\\', cut + 1))
      folders.emplace(key.substr(0, cut), i);
  }
  return reasons;
}

}  // namespace tool
