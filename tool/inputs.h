// Which files pack stores.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tool/util.h"

namespace tool {

// One entry pack stores: a file, or (when Unix entries are stored) an empty
// folder or a symbolic link, whose data is its target.
struct InputFile {
  std::string name;                      // stored name, backslash separators
  std::vector<std::string> components;   // the same, folder by folder
  std::string path;                      // where it is on disk
  uint64_t size, device, inode;
  int64_t mtimeNs;                       // modification time, ns since 1970
  uint32_t mode;                         // st_mode: type and permission bits
  std::string linkTarget;                // a link's target, its size bytes
};
// The files named by the operands, -C (--directory), -T (--files-from),
// --exclude and --no-follow in `parsed`, sorted by stored name. unixEntries
// (an archive with the record): symbolic links are stored as links, never
// followed (one that leads out of the stored tree is refused unless
// --allow-unsafe-links), empty folders are stored, and a setuid, setgid or
// sticky bit is refused unless --keep-special-modes; without it links are
// followed as the classic archive needs.
std::vector<InputFile> SelectInputs(const ParsedArgs& parsed, bool unixEntries);
int64_t ModificationNs(const struct stat& st);  // st_mtim in one number

}  // namespace tool
