// Checks of the stored names against the stored options.
#pragma once

#include <string>
#include <vector>

namespace tool {

// Throws Failure naming the closest stored names when exec is not stored.
void CheckExecuteStored(const std::string& exec, const std::vector<std::string>& names, bool flat);
// Throws Failure naming two files that a flat extraction puts on one name.
void CheckFlatNames(const std::vector<std::string>& names);

}  // namespace tool
