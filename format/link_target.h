// The one rule that says whether a stored symbolic link stays inside the tree
// it is extracted into: dolm pack refuses links it breaks (unless told),
// the Linux stub never creates them, dolm extract only when told.
#pragma once

#include <cstdint>

// How many folders lie between the tree's root and the entry `storedName`
// (its components before the last, split at '\' and '/'; empty and "."
// components count nothing, ".." one less). 0 as soon as a ".." climbs
// above the root: such a name gets no ".." in its target at all.
uint32_t StoredFolderDepth(const char* storedName);

// Whether the link target (length bytes, '/' separators) of a link `depth`
// folders below the root stays below the root whatever the links on its way
// point at: not empty, no zero byte, not absolute, ".." only at its start
// (after a name, ".." would step back from wherever a link there led) and at
// most `depth` of them.
bool LinkTargetStaysInside(const uint8_t* target, uint32_t length, uint32_t depth);
