// Stored names that an extraction could misuse: names that leave the target
// folder, that Windows cannot create or maps to a device, and names that land
// on the same file when case is ignored.
#include <cctype>
#include <cstring>
#include <algorithm>
#include <cstdint>

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
  if (base.size() < 3 || base.size() > 7) return false;  // no device name is shorter or longer
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

// The folder separator of a key as it is kept for sorting: below every byte a
// safe name holds (control bytes are refused), so that in sorted order a name
// comes right before everything inside it, as a walk of the folder tree.
constexpr char kSortedSeparator = '\x01';

// The case-folded keys of the safe names, one after another in one buffer,
// each ending in NUL; an unsafe name has no key. A few bytes per name beside
// the keys themselves.
struct KeyList {
  std::string bytes;
  std::vector<size_t> start;  // by name; kNoKey for an unsafe name
  static constexpr size_t kNoKey = SIZE_MAX;
  const char* At(uint32_t i) const { return bytes.data() + start[i]; }
};

KeyList SafeKeys(size_t count, const std::function<std::string(size_t)>& nameAt, NameProblems* problems) {
  KeyList keys;
  keys.start.assign(count, KeyList::kNoKey);
  size_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const std::string effective = EffectiveName(nameAt(i));
    if (!UnsafeNameReason(effective).empty()) {
      problems->push_back({i, i, NameProblem::kUnsafe, false});
      continue;
    }
    keys.start[i] = 0;
    total += effective.size() + 1;
  }
  keys.bytes.reserve(total);
  for (uint32_t i = 0; i < count; ++i) {
    if (keys.start[i] == KeyList::kNoKey) continue;
    keys.start[i] = keys.bytes.size();
    std::string key = CollisionKey(EffectiveName(nameAt(i)));
    for (char& c : key)
      if (c == '\\') c = kSortedSeparator;
    keys.bytes.append(key.c_str(), key.size() + 1);
  }
  return keys;
}

// A name whose key is a folder of the names that follow it in sorted order:
// the first name with that key, and the first (lowest) name inside it.
struct OpenFolder {
  uint32_t first;
  uint32_t firstInside;
  size_t length;
};

bool IsInside(const char* key, const char* folder, size_t length) {
  return std::strncmp(key, folder, length) == 0 && key[length] == kSortedSeparator;
}

}  // namespace

NameProblems CheckStoredNames(size_t count, const std::function<std::string(size_t)>& nameAt) {
  NameProblems problems;
  const KeyList keys = SafeKeys(count, nameAt, &problems);
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < count; ++i)
    if (keys.start[i] != KeyList::kNoKey) order.push_back(i);
  std::sort(order.begin(), order.end(), [&keys](uint32_t a, uint32_t b) {
    const int c = std::strcmp(keys.At(a), keys.At(b));
    return c < 0 || (c == 0 && a < b);
  });
  // Walked in this order, the folders of the current name are the open ones.
  // Of a file and a name inside it, the later of the two is refused.
  std::vector<bool> refused(count);
  auto refuse = [&](uint32_t i, uint32_t other, NameProblem::Kind kind) {
    problems.push_back({i, other, kind, false});
    refused[i] = true;
  };
  std::vector<OpenFolder> open;
  auto close = [&]() {
    const OpenFolder& folder = open.back();
    if (folder.firstInside < folder.first && !refused[folder.first])
      refuse(folder.first, folder.firstInside, NameProblem::kHoldsFolderOf);
    open.pop_back();
  };
  for (uint32_t i : order) {
    const char* key = keys.At(i);
    if (!open.empty() && std::strcmp(key, keys.At(open.back().first)) == 0) {
      refuse(i, open.back().first, NameProblem::kSameFile);
      continue;
    }
    while (!open.empty() && !IsInside(key, keys.At(open.back().first), open.back().length)) close();
    for (OpenFolder& folder : open) {
      if (folder.first < i && !refused[i]) refuse(i, folder.first, NameProblem::kFolderIsFile);
      folder.firstInside = std::min(folder.firstInside, i);
    }
    open.push_back({i, UINT32_MAX, std::strlen(key)});
  }
  while (!open.empty()) close();
  std::sort(problems.begin(), problems.end(), [](const NameProblem& a, const NameProblem& b) { return a.index < b.index; });
  return problems;
}

std::string ProblemText(const NameProblem& problem, const std::function<std::string(size_t)>& nameAt) {
  switch (problem.kind) {
    case NameProblem::kUnsafe: return UnsafeNameReason(EffectiveName(nameAt(problem.index)));
    case NameProblem::kSameFile: return "same file as '" + nameAt(problem.other) + "' when case is ignored";
    case NameProblem::kFolderIsFile: return "its folder is the file '" + nameAt(problem.other) + "'";
    case NameProblem::kHoldsFolderOf: return "is a folder of '" + nameAt(problem.other) + "'";
    case NameProblem::kUnreadable: break;
  }
  return "";
}

std::vector<std::string> CheckStoredNames(const std::vector<std::string>& names) {
  std::vector<std::string> reasons(names.size());
  auto nameAt = [&names](size_t k) { return names[k]; };
  for (const NameProblem& problem : CheckStoredNames(names.size(), nameAt))
    reasons[problem.index] = ProblemText(problem, nameAt);
  return reasons;
}

}  // namespace tool
