// The extension record that dolm pack adds in front of the archive (its
// layout is in format/format.h): what it asks of the stub and where its
// texts are. One parser over the record's bytes, shared by the stubs, the
// tool, the tests and the fuzz target.
#pragma once

#include <cstdint>

#include "format/format.h"

enum class ExtensionStatus {
  kAbsent,     // no record: the archive behaves as the format's own
  kValid,      // read; the fields below hold it
  kDamaged,    // the magic is there but the size or the CRC-32 is wrong, or an entry runs past the end
  kNeedsNewer  // a required entry of a type this reader does not know
};

// A record as read. Invariants: when present, title and licence point into
// the record's bytes (not NUL-terminated; their lengths are given) or are
// null with length 0; unknownRequired is the first unknown required type.
// present is set only for a valid record.
struct ExtensionRecord {
  bool present;
  uint32_t size;        // S, the whole record
  uint32_t behaviour;   // kBehave* bits
  const uint8_t* title;
  uint32_t titleLength;
  const uint8_t* licence;
  uint32_t licenceLength;
  bool utf8Names;          // kEntryUtf8Names: names and texts are UTF-8
  uint16_t ansiCodePage;   // its value (0 without the entry)
  bool unixModes;          // kEntryUnixModes: file entries carry modes
  uint16_t unknownRequired;
};

// Reads the record from bytes [0, size) that end right before the archive's
// signature; size is the options record's third field. Bytes that do not
// end in the magic are no record (kAbsent); the record is filled only when
// the result is kValid and cleared otherwise (unknownRequired is kept for
// kNeedsNewer).
ExtensionStatus ParseExtensionRecord(const uint8_t* bytes, uint32_t size, ExtensionRecord* record);

struct StoredOptions;
// Whether the archive asks for behaviour `bit` (one of kBehave*): never for
// an archive without the record. The one way the run asks.
bool Asks(const StoredOptions& options, uint32_t bit);
