// The writing side of the archive format: everything the stub reads has its
// encoder here. Used by the dolm tool and by the tests.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace packer {

using Bytes = std::vector<uint8_t>;

// One stored file. `name` is the stored name (backslash separators).
struct PackFile {
  std::string name;
  Bytes data;
  uint32_t time = 0;          // seconds since 1970 UTC
  uint8_t attributes = 0x20;  // Windows attribute byte
};

// The option block stored with the archive.
struct StoredOptions {
  uint32_t optionWord = 0;
  std::string tempFolder;   // stored temporary folder text (may be empty)
  std::string executeText;  // whole stored text, e.g. "\"[setup.exe] /q\"" (may be empty)
  uint32_t unused = 0;      // third field of the options record
};
// Forms the execute text '"' '[' file ']' arguments '"' (empty file: empty text).
std::string MakeExecuteText(const std::string& file, const std::string& arguments);

// ---- archive_front.cpp: signature, options record, texts, archive header ----
Bytes WriteOptionBlock(const StoredOptions& options);
std::array<uint8_t, 36> MakeArchiveHeader(uint8_t profileIndex, uint8_t solidFlag = 1);
// Writes stub image + archive to outPath (through a temporary file that is
// renamed into place). Returns an empty string, or a message naming the
// file and what is wrong.
std::string AppendToStub(const std::string& stubPath, const Bytes& archive,
                         const std::string& outPath);
// The same for a stub image in memory, named `what` in messages ("the stub
// 'x'"); `setChecksum` stores the PE checksum of the whole joined file.
std::string AppendToStubImage(const Bytes& image, const std::string& what, const Bytes& archive,
                              const std::string& outPath, bool setChecksum);

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
bool WriteBlock(const BlockStreams& streams, int distanceWidth, bool last, Bytes& out);

// ---- splay_encoder.cpp and solid_header.cpp ---------------------------------------
Bytes PackHeaderBytes(const Bytes& entries);  // the context splay coder
// One entry of the file list: what the solid header declares of a file.
struct FileEntry {
  std::string name;
  uint32_t size;
  uint32_t time;
  uint8_t attributes;
};
Bytes WriteSolidHeader(const std::vector<FileEntry>& entries);
Bytes WriteSolidHeader(const std::vector<PackFile>& files);  // with the files' own sizes

// ---- lz_parser.cpp: the match coder ---------------------------------------------------
// Compresses the joined file data into data blocks for a size profile (0..8)
// at a compression level (1..9). `done`, when given, counts the bytes of
// `stream` coded so far (for a progress display on another thread).
Bytes WriteDataBlocks(const Bytes& stream, int profile, int level,
                      std::atomic<uint64_t>* done = nullptr);
// The same with a thread count: 1 parses on the calling thread alone, more
// lets levels 7 to 9 search ahead on another thread. The blocks are the same
// for every count.
Bytes WriteDataBlocks(const Bytes& stream, int profile, int level, int threads,
                      std::atomic<uint64_t>* done = nullptr);

// ---- archive.cpp: a whole archive ------------------------------------------------------
Bytes BuildArchive(const std::vector<PackFile>& files, const StoredOptions& options,
                   int profile, int level, std::atomic<uint64_t>* done = nullptr);

}  // namespace packer
