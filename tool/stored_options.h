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
// Marks the names and texts of `options` as UTF-8 (the names entry of the
// record), with code page 1252 for a Windows without wide file functions
// until --codepage names another.
void StoreNamesAsUtf8(StoredOptions& options);
// Applies the option flags of `parsed` to `options` and returns the code page
// the names and texts are stored in: that of --codepage, or UTF-8 (65001)
// when the record says the names are UTF-8, where --codepage sets the
// record's ANSI code page instead. Throws UsageError for texts the
// self-extractor cannot store or start.
int ApplyStoredFlags(const ParsedArgs& parsed, StoredOptions& options);

// The extension record's flags: --classic, --title TEXT, --confirm FILE.
extern const std::vector<OptionDef> kExtensionOptionDefs;
constexpr size_t kMaxTitle = 259;       // the stub's caption buffers
constexpr size_t kMaxLicence = 65536;   // the --confirm text, as stored
// The texts the record of StoredOptions points into; they must outlive every
// use of the options and not change after ApplyExtensionFlags.
struct RecordTexts {
  std::string title;
  std::string licence;
};
// Applies the record's flags to `options` (already holding IN's record for
// restub, or none): --classic drops the record; without it the record is
// kept, or made with every behaviour when absent and `byDefault` (pack) or a
// text is given. The texts are stored in `codePage`; throws UsageError for a
// text too long or holding a zero byte.
void ApplyExtensionFlags(const ParsedArgs& parsed, int codePage, bool byDefault, StoredOptions& options,
                         RecordTexts& texts);
// Throws Failure when the stub and the record put the archive's signature
// past where the self-extractor searches for it.
void CheckRecordFits(size_t imageSize, const StoredOptions& options);

}  // namespace tool
