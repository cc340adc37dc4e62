// Where the expansion takes its blocks from: read on the calling thread when
// asked for (one stage), or read and decoded one block ahead on a second
// thread (two stages), with the same bytes, faults and archive position.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/format.h"
#include "engine/engine.h"

// The streams of a block are decoded in units of up to two (the decoder
// interleaves two streams), longest first. The second thread decodes them;
// the calling thread, when it comes for the block before the block is
// decoded, takes units too, with its own model decoder.
struct DecodeUnit {
  uint32_t first;
  uint32_t count;
};

// The second thread's side. The threads hand the work over with events:
// `wanted` asks for the next block (or, with quit set, for the end),
// `loaded` says its stored bytes are read and its units listed, `helped`
// that the calling thread finished a unit, `ready` that the block is there.
// From `wanted` to `ready` only the second thread touches spare, block,
// loading, faults, result, end and the archive file, except that from
// `loaded` on both threads claim units (nextUnit, counted in unitsDone) and
// decode each into its own streams of spare; at other times only the calling
// thread touches them. The engine's stream buffers are only read while both
// threads run: by the expansion, and by the second thread for the older
// bytes it copies. Invariant: pending is true from `wanted` until the block
// is taken; jobs and units hold the block's streams from `loaded` on.
struct ReadAhead {
  Engine spare;  // the stream buffers being filled, and the second decoder
  Engine* engine;
  FILE* file;
  PlatformThread* thread;
  PlatformEvent* wanted;
  PlatformEvent* ready;
  BlockState block;
  PendingBlock loading;
  StreamJob jobs[kStreamCount];  // loading's jobs, longest first
  DecodeUnit units[kStreamCount];
  uint32_t unitCount;
  uint32_t nextUnit;   // claimed by both threads (atomic)
  uint32_t unitsDone;  // counted by both threads (atomic)
  PlatformEvent* loaded;
  PlatformEvent* helped;
  Faults faults;
  Result result;
  int64_t end;
  uint32_t held[kStreamCount + 1];  // how far the block in the engine's buffers wrote
  bool quit;
  bool pending;
};

namespace {

uint8_t** StreamSlot(Engine* engine, unsigned i) {
  uint8_t** slots[kStreamCount] = {&engine->flagStream, &engine->literalStream, &engine->lengthStream,
                                   &engine->highStream, &engine->middleStream};
  return slots[i];
}

// The expansion may read a stream past its decoded bytes, where one set of
// buffers still holds the bytes of blocks before. The spare set held the
// block before last, and differs from the one set only where the last block
// wrote: those bytes are copied from the engine's set behind the new ones.
void CopyOlderBytes(ReadAhead* a) {
  for (unsigned i = 0; i < kStreamCount; ++i) {
    const uint32_t from = a->block.written[i], to = a->held[i];
    if (to > from) std::memcpy(*StreamSlot(&a->spare, i) + from, *StreamSlot(a->engine, i) + from, to - from);
  }
  const uint32_t from = a->block.written[kStreamCount], to = a->held[kStreamCount];
  if (to > from) std::memcpy(a->spare.lowBitTable + from, a->engine->lowBitTable + from, 2u * (to - from));
}

// Lists the block's streams as units: sorted longest first, then paired in
// that order, so that the two streams of a unit are of a size and the
// largest units are claimed first.
void ListUnits(ReadAhead* a) {
  const uint32_t count = a->loading.jobCount;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t at = i;
    const uint32_t work = StreamWork(a->loading.jobs[i]);
    for (; at > 0 && StreamWork(a->jobs[at - 1]) < work; --at) a->jobs[at] = a->jobs[at - 1];
    a->jobs[at] = a->loading.jobs[i];
  }
  a->unitCount = 0;
  for (uint32_t first = 0; first < count; first += 2)
    a->units[a->unitCount++] = DecodeUnit{first, count - first < 2 ? count - first : 2};
  __atomic_store_n(&a->nextUnit, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&a->unitsDone, 0, __ATOMIC_RELAXED);
}

// Claims and decodes units until none is left; the calling thread says so
// after each of its own.
void DecodeUnits(ReadAhead* a, ModelDecoder* decoder, bool caller) {
  for (;;) {
    const uint32_t u = __atomic_fetch_add(&a->nextUnit, 1, __ATOMIC_ACQ_REL);
    if (u >= a->unitCount) return;
    DecodeStreams(decoder, a->jobs + a->units[u].first, a->units[u].count);
    __atomic_fetch_add(&a->unitsDone, 1, __ATOMIC_ACQ_REL);
    if (caller) PlatformSetEvent(a->helped);
  }
}

void ReadAheadBody(void* self) {
  ReadAhead* a = static_cast<ReadAhead*>(self);
  for (;;) {
    PlatformWaitEvent(a->wanted);
    if (a->quit) return;
    ClearFaults(&a->faults, false);
    LoadBlock(a->file, &a->spare, &a->block, &a->loading);
    ListUnits(a);
    PlatformSetEvent(a->loaded);
    DecodeUnits(a, a->spare.decoder, false);
    while (__atomic_load_n(&a->unitsDone, __ATOMIC_ACQUIRE) < a->unitCount) PlatformWaitEvent(a->helped);
    a->result = FinishBlock(a->file, &a->spare, &a->block, &a->loading, &a->faults);
    a->end = std::ftell(a->file);
    if (a->result.ok()) CopyOlderBytes(a);
    PlatformSetEvent(a->ready);
  }
}

void FreeReadAhead(ReadAhead* a) {
  ReleaseDecoderMemory(&a->spare);
  PlatformFreeEvent(a->wanted);
  PlatformFreeEvent(a->loaded);
  PlatformFreeEvent(a->helped);
  PlatformFreeEvent(a->ready);
  std::free(a);
}

void Ask(ReadAhead* a) {
  a->pending = true;
  PlatformSetEvent(a->wanted);
}

}  // namespace

void OpenBlockSource(BlockSource* source, FILE* file, Engine* engine, uint8_t stages) {
  *source = BlockSource{file, engine, nullptr, std::ftell(file)};
  if (stages == 0) stages = PlatformProcessorCount() >= 2 ? 2 : 1;
  if (stages < 2) return;
  ReadAhead* a = static_cast<ReadAhead*>(std::calloc(1, sizeof(ReadAhead)));
  if (a == nullptr) return;
  a->engine = engine;
  a->file = file;
  // Before the first block, the engine's buffers may hold anything.
  for (uint32_t& h : a->held) h = kStreamBufferSize;
  a->wanted = PlatformNewEvent();
  a->loaded = PlatformNewEvent();
  a->helped = PlatformNewEvent();
  a->ready = PlatformNewEvent();
  if (a->wanted == nullptr || a->loaded == nullptr || a->helped == nullptr || a->ready == nullptr ||
      !ReserveSpareStreams(&a->spare, engine) ||
      (a->thread = PlatformStartThread(ReadAheadBody, a)) == nullptr) {
    FreeReadAhead(a);
    return;
  }
  source->ahead = a;
  Ask(a);
}

Result TakeBlock(BlockSource* source, BlockState* block, Faults* faults) {
  ReadAhead* a = source->ahead;
  if (a == nullptr) {
    Result result = ReadBlock(source->file, source->engine, block, faults);
    source->end = std::ftell(source->file);
    return result;
  }
  // While the block is still being decoded, this thread decodes with it.
  PlatformWaitEvent(a->loaded);
  DecodeUnits(a, source->engine->decoder, true);
  PlatformWaitEvent(a->ready);
  a->pending = false;
  for (unsigned i = 0; i < kStreamCount; ++i) {
    uint8_t* taken = *StreamSlot(&a->spare, i);
    *StreamSlot(&a->spare, i) = *StreamSlot(source->engine, i);
    *StreamSlot(source->engine, i) = taken;
  }
  uint16_t* table = a->spare.lowBitTable;
  a->spare.lowBitTable = source->engine->lowBitTable;
  source->engine->lowBitTable = table;
  *block = a->block;
  std::memcpy(a->held, block->written, sizeof a->held);
  source->end = a->end;
  if (!a->result.ok()) return NoteFault(faults, a->faults.first.error, "", a->faults.first.offset);
  // The next block is read while this one is expanded; none after the last.
  if (block->lastBits <= 8) Ask(a);
  return kOk;
}

void CloseBlockSource(BlockSource* source) {
  ReadAhead* a = source->ahead;
  if (a == nullptr) return;
  const bool readBeyond = a->pending;
  // The second thread decodes a block alone when nobody helps.
  if (a->pending) {
    PlatformWaitEvent(a->loaded);
    PlatformWaitEvent(a->ready);
  }
  a->quit = true;
  PlatformSetEvent(a->wanted);
  PlatformJoinThread(a->thread);
  // A block read ahead and never taken: back to where one stage stops.
  if (readBeyond && source->end >= 0) std::fseek(source->file, static_cast<long>(source->end), SEEK_SET);
  FreeReadAhead(a);
  source->ahead = nullptr;
}
