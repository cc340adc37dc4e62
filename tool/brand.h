// pack's --icon, --version-info and --execution-level.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool/util.h"

namespace tool {

// --icon, --version-info and --execution-level, which pack and restub take.
extern const std::vector<OptionDef> kBrandingOptionDefs;

// The stub image with the resources these options ask for, or an empty image
// when none is given. Usage errors for the Linux stub and for bad names or levels.
std::vector<uint8_t> BrandedStub(const ParsedArgs& parsed, const std::string& stubChoice,
                                 const std::string& stubPath);
// restub's stub image: a Windows stub takes the icon, version information
// and manifest of `oldImage` (the stub IN was joined to), then what these
// options ask for; *branded tells whether its resources were changed. The
// Linux stub is returned as it is, with a note when IN's branding is lost.
std::vector<uint8_t> RestubImage(const ParsedArgs& parsed, const std::string& stubChoice,
                                 const std::string& stubPath, const std::vector<uint8_t>& oldImage,
                                 const std::string& in, bool* branded);

}  // namespace tool
