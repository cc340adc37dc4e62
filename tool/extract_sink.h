// The output of dolm extract: files below a folder descriptor.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "output/output.h"

namespace tool {

// Invariants: rootFd is the open target folder; folderFd and fileFd are the
// folder and file of the file being written, or -1.
struct ExtractTarget {
  int rootFd = -1;
  std::string root;       // the target folder as the user named it, for messages
  bool overwrite = false;
  mode_t umask = 022;
  Faults* faults = nullptr;
  std::vector<std::string> names;  // the name of each file to create, by table index
  int folderFd = -1;
  int fileFd = -1;
  bool temporaryNames = false;  // each file written under a free temporary name, renamed when complete
  std::string name;       // the open file's name in its folder
  std::string writtenName;  // the name it is written under (name, or its temporary name)
  std::string shownPath;  // root/name of the file being written
  std::string reason;     // why the last call failed
  std::string removed;    // an incomplete file that was removed
  uint8_t head[4] = {};   // the first bytes of the file being written
  uint32_t headLength = 0;
  uint32_t written = 0;
  // Unix entries: the kind of the open entry, the open link's target so far,
  // and the links to make once every file is written (its parts, its target).
  EntryKind kind = EntryKind::kFile;
  bool allowUnsafeLinks = false;  // links that lead out of the root are made too
  std::string linkTarget;
  std::vector<std::pair<std::vector<std::string>, std::string>> links;
};
OutputSink ExtractSink(ExtractTarget* target);
// Makes the links the extraction held back, each relative to its folder's
// descriptor (opened without following links), in place of what bears its
// name with --overwrite. Result as the sink's, the reason in target->reason.
Result MakeHeldLinks(ExtractTarget* target);

// How many folders an extraction of these names creates at most: each folder
// once, whether or not it exists already. Linear in the names' length, after
// a sort of their indices.
uint64_t CountFolders(const std::vector<std::string>& names);

}  // namespace tool
