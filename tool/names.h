// Stored names a Windows or Linux extraction could misuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tool {

// Why one stored name is unsafe ("" when it is fine): absolute path, drive
// letter, ".." component, ':' or another character Windows refuses, reserved
// device name (also with an extension), empty component, trailing dot or blank.
std::string UnsafeNameReason(const std::string& name);
// For each name, why it is unsafe, including names that collide with an
// earlier one when case is ignored (also a file that is another's folder).
std::vector<std::string> CheckStoredNames(const std::vector<std::string>& names);
// The same for `count` names given one at a time: one entry for each name
// with a problem, by index. The texts are made when they are shown
// (ProblemText), so that a list of a million bad names keeps 12 bytes each.
struct NameProblem {
  enum Kind : uint8_t { kUnsafe, kSameFile, kFolderIsFile, kHoldsFolderOf, kUnreadable };
  uint32_t index;
  uint32_t other;  // the earlier name it collides with
  Kind kind;
  bool onceRead;   // found only once the names were read in their code page
};
using NameProblems = std::vector<NameProblem>;
NameProblems CheckStoredNames(size_t count, const std::function<std::string(size_t)>& nameAt);
// Why, for a problem of CheckStoredNames (kUnreadable is the code page's: "").
std::string ProblemText(const NameProblem& problem, const std::function<std::string(size_t)>& nameAt);
// The part of a stored name that an extraction recreates: what follows the
// first temporary-folder marker, or the whole name.
std::string EffectiveName(const std::string& name);

}  // namespace tool
