// Which files pack stores.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tool/util.h"

namespace tool {

struct InputFile {
  std::string name;                      // stored name, backslash separators
  std::vector<std::string> components;   // the same, folder by folder
  std::string path;                      // where it is on disk
  uint64_t size, device, inode;
  int64_t mtimeNs;                       // modification time, ns since 1970
  uint32_t mode;
};
// The files named by the operands, -C (--directory), -T (--files-from),
// --exclude and --no-follow in `parsed`, sorted by stored name.
std::vector<InputFile> SelectInputs(const ParsedArgs& parsed);
int64_t ModificationNs(const struct stat& st);  // st_mtim in one number

}  // namespace tool
