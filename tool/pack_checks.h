// Checks of the stored names against the stored options.
#pragma once

#include <string>
#include <vector>

namespace tool {

// The index of the stored file the self-extractor starts as `exec` (names
// compared without case), or -1.
long FindExecuteStored(const std::string& exec, const std::vector<std::string>& names, bool flat);
// Throws Failure naming the closest stored names when exec is not stored.
void CheckExecuteStored(const std::string& exec, const std::vector<std::string>& names, bool flat);
// Throws Failure naming two files that a flat extraction puts on one name.
void CheckFlatNames(const std::vector<std::string>& names);

}  // namespace tool
