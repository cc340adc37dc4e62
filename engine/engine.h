// Decompression engine: field readers, the adaptive model decoder, the block
// reader, the size profile and the decoder's memory, and the splay trees of
// the solid header's coder.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/crc.h"
#include "format/format.h"
#include "platform/platform.h"

// ---- readers.cpp: little-endian fields and counted byte runs ------------------
// Read from the archive file; a short read fills the rest with zeros.
bool ReadU32(FILE* file, uint32_t* value);  // true when all four bytes arrived
bool ReadU16(FILE* file, uint16_t* value);
uint32_t ReadBytes(FILE* file, uint8_t* buffer, uint32_t count);  // count actually read

// ---- model_decoder.cpp -------------------------------------------------------
// The model decoder's state (its models, the table of reciprocals and a
// padded input buffer), laid out by model_decoder.cpp. Each engine holds its
// own, so that engines decode side by side; one state decodes one call at a
// time.
struct ModelDecoder;
// A fresh state, or null when its memory (about 80 KiB) cannot be had.
ModelDecoder* NewModelDecoder();
void FreeModelDecoder(ModelDecoder* decoder);

// Decodes one model-coded stream of decodedCount bytes from `stored`
// (*length bytes) into destination; sets *length to the bytes produced.
// destination must not overlap stored.
void DecodeStream(ModelDecoder* decoder, uint32_t decodedCount, const uint8_t* stored,
                  uint32_t* length, uint8_t* destination);

// One model-coded stream for DecodeStreams. The stored bytes must be followed
// by kStreamPadding zero bytes that the decoder may load (it reads whole words);
// storedLength is at most kStreamBufferSize and decodedCount at most
// kStreamBufferSize. Each stream yields exactly decodedCount bytes.
constexpr uint32_t kStreamPadding = 8;
struct StreamJob {
  const uint8_t* stored;
  uint32_t storedLength;
  uint32_t decodedCount;
  uint8_t* destination;
};
// What a stream costs the decoder: the order in which streams are best
// decoded is longest first by this measure.
inline uint32_t StreamWork(const StreamJob& job) { return job.storedLength + job.decodedCount; }
// Decodes several independent streams at once (their decodings are
// interleaved, which lets the processor overlap them); the bytes produced are
// exactly those that DecodeStream gives for each stream on its own.
void DecodeStreams(ModelDecoder* decoder, const StreamJob* jobs, uint32_t count);

// ---- memory.cpp: size profiles and the decoder's memory ------------------------
// The engine of one run: the size profile and the buffers the block reader
// and the window expansion work in. Invariants: the buffers are either all
// null (nothing reserved) or all reserved, window holding reservedWindow
// bytes, at least 2 * windowSize; the stream buffers hold kStreamBufferSize
// bytes each (plus padding), the low-bit table kStreamBufferSize cells and
// the work buffer kWorkBufferSize bytes; decoder is the model decoder's state.
constexpr uint32_t kWorkBufferSize = 409600;
struct Engine {
  uint8_t profileIndex;
  uint32_t windowSize;     // W
  uint32_t minMatch;       // M
  uint16_t distanceWidth;  // w
  uint8_t* window;         // 2 * W (the expansion uses the first W)
  uint32_t reservedWindow;
  uint8_t* flagStream;
  uint8_t* lengthStream;
  uint8_t* literalStream;
  uint8_t* highStream;
  uint8_t* middleStream;
  uint16_t* lowBitTable;
  uint8_t* work;           // the stored bytes of a block's compressed streams
  ModelDecoder* decoder;
};

// Loads profile `index` (0..8) and reserves its memory, keeping what an
// earlier run of the same engine reserved when it is large enough. Error 11
// when the memory cannot be had.
Result LoadSizeProfile(Engine* engine, uint8_t index, Faults* faults);
// Loads the profile that the archive header names. A header without the
// solid flag or naming no profile (9..15) is error 1; when the run goes on,
// profile 0 is loaded so that later readers stay in bounds.
Result PrepareDecoder(Engine* engine, const uint8_t* header, Faults* faults);
void ReleaseDecoderMemory(Engine* engine);
// Gives spare the profile of engine and stream buffers, a work buffer and a
// model decoder of its own, but no window: what a second thread reads blocks
// into. False when the memory cannot be had (spare then holds nothing).
bool ReserveSpareStreams(Engine* spare, const Engine* engine);

// ---- splay_tree.cpp: the solid header's context splay coder ---------------------
// One tree of the coder: node 1 is the root, nodes kSplayFirstLeaf + s
// (s = 0..255) the leaves; left/right hold the children of the inner nodes
// 1..255, up the parent of every node.
constexpr uint32_t kSplayTreeCount = 256;  // one per context: the byte before
constexpr uint32_t kSplayRoot = 1;
constexpr uint32_t kSplayFirstLeaf = 256;
struct SplayTree {
  uint16_t left[kSplayFirstLeaf];
  uint16_t right[kSplayFirstLeaf];
  uint16_t up[2 * kSplayFirstLeaf];
};
void ResetSplayTree(SplayTree* tree);
// The contexts whose trees one header has reset. A header meets few of the
// 256 contexts, so each tree is reset when its context first comes up
// rather than all of them at the start.
struct FreshContexts {
  uint64_t reset[kSplayTreeCount / 64];
};
inline void ResetOnFirstUse(SplayTree* tree, uint32_t context, FreshContexts* fresh) {
  uint64_t& word = fresh->reset[context >> 6];
  const uint64_t bit = uint64_t{1} << (context & 63);
  if ((word & bit) == 0) {
    ResetSplayTree(tree);
    word |= bit;
  }
}
// Adapts the tree after symbol s was coded.
void SplaySymbol(SplayTree* tree, int s);
// Decodes the packed bytes with the order-1 splay decoder into output (at most
// outputSize bytes), every bit of the packed bytes included; returns the
// bytes produced. trees: kSplayTreeCount trees to work in.
uint32_t UnpackHeader(uint32_t packedLength, const uint8_t* packed, uint8_t* output,
                      uint32_t outputSize, SplayTree* const* trees);

// ---- block_reader.cpp --------------------------------------------------------
// The streams of the block last read. Invariants: every count is at most
// kStreamBufferSize; the cursors are 0 after ReadBlock and only move forward.
struct BlockState {
  uint32_t flagCount;       // decoded bytes of the flag stream
  uint32_t literalCursor;   // read cursors, 0 after every ReadBlock
  uint32_t lengthCursor;
  uint32_t highCursor;
  uint32_t middleCursor;
  uint32_t tableCursor;
  uint32_t literalCount;    // decoded counts of the streams
  uint32_t lengthCount;
  uint32_t matchCount;      // from the distance-high stream
  uint32_t middleCount;
  uint8_t lastBits;         // header byte 0 & 0x1F
  uint32_t blockCrc;
  uint32_t runningCrc;
  // How far the block wrote into each buffer (the five streams in block
  // order, then the low-bit table's cells); the expansion may read a stream
  // past its decoded bytes, where earlier blocks' bytes still lie.
  uint32_t written[kStreamCount + 1];
};

// Reads one data block from file, decodes its streams into the engine's
// buffers and checks its CRC. Error 4 when the file ends inside the block or
// a stream breaks a limit, error 2 when the CRC does not match.
Result ReadBlock(FILE* file, Engine* engine, BlockState* block, Faults* faults);

// ReadBlock in its three steps, for a source that shares the decoding out:
// LoadBlock reads the block's stored bytes and lists the streams to decode
// as jobs (none after a failure, which `result` holds); the jobs are then
// decoded, in any split and on any threads, each with a model decoder of its
// own; FinishBlock completes the streams, reads the low-bit table and checks
// the CRC, with ReadBlock's result.
struct PendingBlock {
  StreamJob jobs[kStreamCount];
  uint32_t jobCount;
  uint32_t lengths[kStreamCount];  // the bytes each stream leaves in its buffer
  Result result;
};
void LoadBlock(FILE* file, Engine* engine, BlockState* block, PendingBlock* pending);
Result FinishBlock(FILE* file, Engine* engine, BlockState* block, const PendingBlock* pending, Faults* faults);

// ---- block_source.cpp: where the expansion takes its blocks from ---------------
// One stage reads and decodes each block on the calling thread when it is
// asked for. Two stages read and decode the next block on a second thread
// (its own stream buffers and model decoder) while the calling thread expands
// the one before; a block taken swaps the two sets of stream buffers, and
// every fault is noted by the calling thread when it takes the block, so the
// results are those of one stage.
struct ReadAhead;  // the second thread's side (block_source.cpp)
struct BlockSource {
  FILE* file;
  Engine* engine;
  ReadAhead* ahead;  // null: one stage
  int64_t end;       // archive offset just past the block last taken
};
// stages: 1 or 2, or 0 for two when the process may use two processors. Two
// stages that cannot be had (memory, thread) fall back to one.
void OpenBlockSource(BlockSource* source, FILE* file, Engine* engine, uint8_t stages);
// Takes the next block into the engine's stream buffers and *block, with what
// ReadBlock gives for it. After a failure or the last block, nothing more may
// be taken.
Result TakeBlock(BlockSource* source, BlockState* block, Faults* faults);
// Ends the second thread, and leaves the archive just past the block last
// taken, where one stage leaves it.
void CloseBlockSource(BlockSource* source);
