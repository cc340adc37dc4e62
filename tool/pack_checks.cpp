// Checks of a pack's stored names against its options: the execute file must
// be one of them, and a flat extraction must not put two files on one name.
#include <algorithm>
#include <cctype>
#include <map>

#include "tool/names.h"
#include "tool/pack_checks.h"
#include "tool/util.h"

namespace tool {

namespace {

std::string Fold(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string LastPart(const std::string& name) {
  size_t cut = name.rfind('\\');
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

// The name a file is extracted under: flat extractions drop the folders.
std::string ExtractedName(const std::string& name, bool flat) {
  std::string effective = EffectiveName(name);
  return flat ? LastPart(effective) : effective;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

long FindExecuteStored(const std::string& exec, const std::vector<std::string>& names, bool flat) {
  for (size_t i = 0; i < names.size(); ++i)
    if (Fold(ExtractedName(names[i], flat)) == Fold(exec)) return static_cast<long>(i);
  return -1;
}

void CheckExecuteStored(const std::string& exec, const std::vector<std::string>& names, bool flat) {
  if (exec.empty() || FindExecuteStored(exec, names, flat) >= 0) return;
  std::string wanted = Fold(exec);
  std::vector<std::pair<size_t, std::string>> ranked;
  for (const auto& name : names) {
    std::string extracted = ExtractedName(name, flat);
    ranked.emplace_back(EditDistance(Fold(extracted), wanted), extracted);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string closest;
  for (size_t i = 0; i < ranked.size() && i < 3; ++i)
    closest += (i ? ", '" : "'") + ranked[i].second + "'";
  throw Failure("the execute file '" + exec + "' is not among the stored files" +
                (closest.empty() ? std::string() : "; the closest stored names: " + closest));
}

void CheckFlatNames(const std::vector<std::string>& names) {
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string extracted = ExtractedName(names[i], true);
    auto placed = seen.emplace(Fold(extracted), i);
    if (!placed.second)
      throw Failure("--flat puts '" + names[placed.first->second] + "' and '" + names[i] +
                    "' on the same file '" + extracted + "' (case is ignored)");
  }
}

}  // namespace tool
