// The writing side of the archive format: everything the stub reads has its
// encoder here. Used by the dolm tool and by the tests.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "container/container.h"

namespace packer {

using Bytes = std::vector<uint8_t>;

// One stored file. `name` is the stored name (backslash separators).
struct PackFile {
  std::string name;
  Bytes data;
  uint32_t time = 0;          // seconds since 1970 UTC
  uint8_t attributes = 0x20;  // Windows attribute byte
  uint16_t mode = 0;          // Unix mode (kEntryUnixModes), 0: none stored
};

// Forms the execute text '"' '[' file ']' arguments '"' (empty file: empty text).
std::string MakeExecuteText(const std::string& file, const std::string& arguments);
// Copies `text` with its zero byte into a text field of the stored options
// (`room` bytes); false, leaving the field as it was, when it does not fit.
bool SetOptionText(char* field, size_t room, const std::string& text);
template <size_t N>
bool SetOptionText(char (&field)[N], const std::string& text) {
  return SetOptionText(field, N, text);
}

// ---- archive_front.cpp: signature, options record, texts, archive header ----
// The extension record of `record` (the one reader is container/extension.cpp's):
// the behaviour entry, then the title and the licence when they are not
// empty, then the trailer. Empty when the record is not present; throws
// std::length_error above kExtensionMaxSize.
Bytes WriteExtensionRecord(const ExtensionRecord& record);
// The option block of `options` (the one reader is container/locate.cpp's):
// the folder text as it stands, the execute text formed from the file and its
// arguments, and the record with their lengths; when options.extension is
// present, its record comes first and the third field is its size. The
// option block then starts before the signature, at the record.
Bytes WriteOptionBlock(const StoredOptions& options);
// The same with the two texts given byte for byte, also texts the
// self-extractor refuses or reads in part (for damaged and hostile archives).
Bytes WriteOptionBlock(uint32_t optionWord, const std::string& tempText, const std::string& executeText,
                       uint32_t unused = 0);
std::array<uint8_t, 36> MakeArchiveHeader(uint8_t profileIndex, uint8_t solidFlag = 1);

// ---- model_encoder.cpp: the adaptive model coder ------------------------------
// Codes bytes so that DecodeStream(data.size(), ...) gives them back exactly.
Bytes EncodeStream(const uint8_t* data, size_t size);

// ---- bit_writer.cpp: the distance low-bit table ---------------------------------
// Packs `values` of `bits` bits each, most significant first, into big-endian
// 16-bit words: 2 * max(1, ceil(count * bits / 16)) bytes.
Bytes PackLowBits(const std::vector<uint16_t>& values, int bits);

// ---- block_writer.cpp ----------------------------------------------------------
struct BlockStreams {
  Bytes flags;     // one bit per item, least significant first; 1 = literal
  Bytes literals;
  Bytes lengths;   // one byte per match, 255 escapes a two-byte length
  Bytes high;      // distance bits w..w+7
  Bytes middle;    // distance bits w-8..w-1
  std::vector<uint16_t> low;  // distance bits 0..w-9 (only used when w > 8)
  uint32_t itemsInLastFlagByte = 0;  // 0 means 8
};
// Appends one complete block: header, CRC, five stream records (each coded or
// raw, whichever is shorter), and the low-bit table when w > 8. Returns false
// and appends nothing when the block would break a limit of the format (a
// stream longer than 65,536 bytes, more than 65,536 matches, or a stream whose
// shorter form is still above 58,344 stored bytes): the caller splits it.
enum class BlockPlace { kMore, kLast };  // whether more blocks follow this one
bool WriteBlock(const BlockStreams& streams, int distanceWidth, BlockPlace place, Bytes& out);

// ---- splay_encoder.cpp and solid_header.cpp ---------------------------------------
Bytes PackHeaderBytes(const Bytes& entries);  // the context splay coder
// One entry of the file list: what the solid header declares of a file.
struct FileEntry {
  std::string name;
  uint32_t size;
  uint32_t time;
  uint8_t attributes;
  uint16_t mode = 0;  // in the first two reserved bytes; 0 (every classic archive): none
};
Bytes WriteSolidHeader(const std::vector<FileEntry>& entries);
Bytes WriteSolidHeader(const std::vector<PackFile>& files);  // with the files' own sizes
std::vector<FileEntry> EntriesOf(const std::vector<PackFile>& files);  // throws above 2 GiB

// ---- lz_parser.cpp: the match coder ---------------------------------------------------
// Hands out the joined file data in order: fills `into` with 1 to `size`
// bytes and returns how many; 0 means it has nothing more (an error before
// the announced total). A source may throw to end the packing.
using DataSource = std::function<size_t(uint8_t* into, size_t size)>;
// Takes each finished piece of the archive, in order.
using BlockSink = std::function<void(const Bytes& piece)>;
// Compresses `total` bytes from `source` into data blocks for a size profile
// (0..8) at a compression level (1..9), each handed to `sink` as soon as it
// is final. At most about 2 x window + 272 KiB of the data are held at once,
// or `buffer` bytes when that is more. `done`, when given, counts the bytes
// coded so far (for a progress display on another thread). The blocks do not
// depend on how the source cuts the data nor on `buffer`. `threads`: 1
// parses on the calling thread alone, more lets levels 7 to 9 search ahead
// on another thread (which then alone calls `source`), 0 takes 2 where there
// is a second processor; the blocks are the same for every count.
void WriteDataBlocks(uint64_t total, const DataSource& source, int profile, int level,
                     const BlockSink& sink, std::atomic<uint64_t>* done = nullptr,
                     size_t buffer = 0, int threads = 0);
// The same for data in memory, returning the blocks.
Bytes WriteDataBlocks(const Bytes& stream, int profile, int level,
                      std::atomic<uint64_t>* done = nullptr);
// The same with a thread count (as above).
Bytes WriteDataBlocks(const Bytes& stream, int profile, int level, int threads,
                      std::atomic<uint64_t>* done = nullptr);

// ---- stream_writer.cpp and archive.cpp: a whole archive ----------------------------------
// Writes `optionBlock` (from WriteOptionBlock), the archive header and the
// solid header of `entries`, then the data blocks of the files' bytes (their sizes summed)
// taken from `source`, every piece to `sink` as it is finished.
void WriteArchive(const std::vector<FileEntry>& entries, const Bytes& optionBlock,
                  int profile, int level, const DataSource& source, const BlockSink& sink,
                  std::atomic<uint64_t>* done = nullptr, size_t buffer = 0);
// The same archive in memory, the files' data held in one buffer.
Bytes BuildArchive(const std::vector<PackFile>& files, const Bytes& optionBlock,
                   int profile, int level, std::atomic<uint64_t>* done = nullptr);

}  // namespace packer
