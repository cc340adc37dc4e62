// Stored names a Windows or Linux extraction could misuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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
// The same for `count` names given one at a time; only the names with a
// problem have an entry, by index.
using NameProblems = std::map<uint32_t, std::string>;
NameProblems CheckStoredNames(size_t count, const std::function<std::string(size_t)>& nameAt);
// The part of a stored name that an extraction recreates: what follows the
// first temporary-folder marker, or the whole name.
std::string EffectiveName(const std::string& name);

}  // namespace tool
