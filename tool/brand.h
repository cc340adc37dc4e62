// pack's --icon, --version-info and --execution-level.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool/util.h"

namespace tool {

// The stub image with the resources these options ask for, or an empty image
// when none is given. Usage errors for the Linux stub and for bad names or levels.
std::vector<uint8_t> BrandedStub(const ParsedArgs& parsed, const std::string& stubChoice,
                                 const std::string& stubPath);

}  // namespace tool
