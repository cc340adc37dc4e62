// The option flags of pack and restub.
#pragma once

#include <string>
#include <vector>

#include "container/container.h"
#include "tool/util.h"

namespace tool {

// The texts of StoredOptions are the stored bytes, in the code page the names
// are stored in.
extern const std::vector<OptionDef> kStoredOptionDefs;
// What pack stores without flags: keep attributes, recreate folders, prompt.
StoredOptions DefaultStoredOptions();
// Applies the option flags of `parsed` to `options` and returns the code page
// of --codepage; throws UsageError for texts the self-extractor cannot store
// or start.
int ApplyStoredFlags(const ParsedArgs& parsed, StoredOptions& options);

}  // namespace tool
