// pack's file list and data, read as they are written.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "packer/packer.h"
#include "tool/inputs.h"
#include "tool/output_file.h"

namespace tool {

// The file list of `inputs`, from what was seen when they were selected: the
// times capped at `epoch` when `epochText` is set, and with `modes` each
// entry's Unix mode.
std::vector<packer::FileEntry> FileList(const std::vector<InputFile>& inputs,
                                        const char* epochText, uint64_t epoch, bool modes = false);
// Writes `image` and the archive to `output`, reading the inputs one at a
// time while the data blocks are written; a branded image gets the PE
// checksum of the whole file. Throws Failure naming an input that changed
// since it was selected. Returns the archive's length. `done` counts the
// input bytes read so far (for the progress line).
uint64_t WriteSelfExtractor(OutputFile& output, packer::Bytes image, bool branded,
                            const std::vector<InputFile>& inputs,
                            const std::vector<packer::FileEntry>& entries,
                            const StoredOptions& stored, int profile, int level,
                            std::atomic<uint64_t>* done);

}  // namespace tool
