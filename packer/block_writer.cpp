// Writes one data block: the 10-byte header, five stream records (each model
// coded or stored raw, whichever is shorter) and, for distance widths above
// 8, the packed low-bit table. The block CRC is chained over the decoded
// streams and the table cells exactly as the stub's block reader runs it.
#include <cstdint>
#include <vector>

#include "format/crc.h"
#include "format/format.h"
#include "packer/packer.h"

namespace packer {
namespace {

struct StreamRecord {
  const Bytes* data;
  Bytes coded;
  bool useCoded;
};

// True for a stream whose bytes spread almost evenly over all 256 values:
// packed or encrypted data. The test is Pearson's chi-square against the
// flat spread, in integers so that every machine decides alike:
// 256 * sum(c^2) - n^2 <= 0.0277 * n^2, which is about 0.02 bits a byte below
// eight bits of order-0 entropy. Streams below about 250 bytes never pass it.
bool LooksFlat(const Bytes& stream) {
  uint32_t counts[256] = {};
  for (uint8_t b : stream) ++counts[b];
  uint64_t squares = 0;
  for (uint32_t c : counts) squares += uint64_t{c} * c;
  const uint64_t n = stream.size();
  return squares * 256 * 10000 <= n * n * 10277;
}

// Whether the model coder is tried on a stream. It spends about 0.13 bits a
// byte above eight on flat bytes, so a flat stream is stored raw untried,
// unless the coder gains on its first kTrialBytes: an even spread over the
// whole stream can still hide local runs that the adaptive models pick up.
constexpr size_t kTrialBytes = 1024;
bool WorthCoding(const Bytes& stream) {
  if (!LooksFlat(stream)) return true;
  const size_t trial = stream.size() < kTrialBytes ? stream.size() : kTrialBytes;
  return EncodeStream(stream.data(), trial).size() < trial;
}

}  // namespace

bool WriteBlock(const BlockStreams& streams, int distanceWidth, BlockPlace place, Bytes& out) {
  const Bytes* order[5] = {&streams.flags, &streams.literals, &streams.lengths, &streams.high,
                           &streams.middle};
  if (streams.itemsInLastFlagByte > 8) return false;
  for (const Bytes* s : order) {
    if (s->size() > kStreamBufferSize) return false;
  }
  const bool hasTable = distanceWidth > 8;
  const size_t matches = streams.high.size();
  if (hasTable && streams.low.size() != matches) return false;

  StreamRecord records[kStreamCount];
  for (unsigned i = 0; i < kStreamCount; ++i) {
    records[i].data = order[i];
    if (WorthCoding(*order[i])) records[i].coded = EncodeStream(order[i]->data(), order[i]->size());
    records[i].useCoded = !records[i].coded.empty() && records[i].coded.size() < order[i]->size();
    const size_t stored = records[i].useCoded ? records[i].coded.size() : order[i]->size();
    if (stored > kMaxStoredLength) return false;
  }

  uint32_t crc = 0xFFFFFFFFu;
  for (const StreamRecord& r : records) {
    Crc32Update(r.data->data(), static_cast<uint32_t>(r.data->size()), &crc);
  }
  Bytes table;
  if (hasTable) {
    const int bits = distanceWidth - 8;
    const uint16_t mask = static_cast<uint16_t>((1u << bits) - 1u);
    Bytes cells;
    cells.reserve(2 * matches);
    for (size_t i = 0; i < matches; ++i) {
      const uint16_t v = streams.low[i] & mask;  // the reader keeps only these bits
      cells.push_back(static_cast<uint8_t>(v & 0xFFu));
      cells.push_back(static_cast<uint8_t>(v >> 8));
    }
    Crc32Update(cells.data(), static_cast<uint32_t>(cells.size()), &crc);
    table = PackLowBits(streams.low, bits);
  }

  uint8_t header[kBlockHeaderSize] = {};
  header[0] = static_cast<uint8_t>(streams.itemsInLastFlagByte + (place == BlockPlace::kLast ? kLastBlockMark : 0));
  for (unsigned i = 0; i < kStreamCount; ++i)
    if (records[i].useCoded) MarkStreamCoded(header, i);
  StoreLe32(header + kBlockCrcOffset, crc);
  out.insert(out.end(), header, header + kBlockHeaderSize);
  for (const StreamRecord& r : records) {
    const Bytes& stored = r.useCoded ? r.coded : *r.data;
    AppendLe32(out, static_cast<uint32_t>(r.data->size()));
    AppendLe32(out, static_cast<uint32_t>(stored.size()));
    out.insert(out.end(), stored.begin(), stored.end());
  }
  out.insert(out.end(), table.begin(), table.end());
  return true;
}

}  // namespace packer
