// Joining a stub image and an archive into one self-extractor, for the tests
// and mkarchive (the dolm tool writes its output through its own checks).
#pragma once

#include <string>

#include "packer/packer.h"

// Writes the stub at stubPath + archive to outPath (through outPath.part,
// made executable and renamed into place). Returns an empty string, or a
// message naming the file and what is wrong: the stub must hold exactly one
// overlay signature and end by the last offset where an archive may start.
std::string AppendToStub(const std::string& stubPath, const packer::Bytes& archive,
                         const std::string& outPath);
