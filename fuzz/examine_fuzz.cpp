// Fuzz target: what `dolm list` and `dolm test` do with a file: locate the
// archive, check its header, read the solid header, check every stored name
// as the listing does, and expand all data blocks without writing. Unlike
// the tool, which stops at the first recorded error, every step runs
// whatever the earlier ones met, as the stub does with IgnoreErrors.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/format.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "output/output.h"
#include "tool/codepage.h"
#include "tool/display.h"
#include "tool/tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzResetState();
  FuzzReleaseDecoder();
  const std::string path = FuzzWriteInput("examine.exe", data, size);
  gContainer.archive = fopen(path.c_str(), "rb");
  if (gContainer.archive == nullptr) abort();
  strncpy(gContainer.archiveName, path.c_str(), sizeof gContainer.archiveName - 1);

  uint8_t solid = 0;
  ReadArchiveSettings(&solid);
  PrepareDecoder(1);
  InitFileTable();
  if (ReadSolidHeader() == 0) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < gFiles.count; ++i) {
      const FileRecord& r = gFiles.records[i];
      names.emplace_back(r.name);
      // The listing's texts for each record.
      (void)tool::JsonString(r.name);
      (void)tool::AttributeText(r.attributes);
      (void)tool::IsoTime(r.time);
      (void)tool::EffectiveName(r.name);
    }
    if (tool::CheckStoredNames(names).size() != names.size()) abort();
    // Names read in a code page are UTF-8, their JSON too, and shown they hold no ESC.
    for (int page : {tool::kAutomaticCodePage, 932, tool::kUtf8CodePage})
      for (const auto& name : tool::ReadStoredNames(names, page))
        if ((name.readable && !tool::IsStrictUtf8(name.utf8)) || !tool::IsStrictUtf8(tool::JsonName(name)) ||
            tool::Shown(name.utf8).find('\x1b') != std::string::npos)
          abort();
  }
  gExpand.nextFile = gFiles.count;
  gExpand.remaining = INT32_MAX;
  gExpand.writeFlag = 0;
  ExpandBlocks();
  fclose(gContainer.archive);
  gContainer.archive = nullptr;
  return 0;
}
