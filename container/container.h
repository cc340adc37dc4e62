// Archive container: locating the appended archive, the stored option block,
// the archive header, size profiles and decoder memory.
#pragma once

#include <cstdint>
#include <cstdio>

struct OptionsRecord {
  uint32_t tempLength;  // T
  uint32_t execLength;  // E
  uint32_t unused;
  uint32_t optionWord;
};

// ---- locate.cpp and options.cpp ----------------------------------------------
struct ContainerState {
  FILE* archive;              // the stub's own file, or null; at most one open
  int32_t optionBlockPos;     // P, file offset of the archive header; 0 = not located
  uint8_t header[36];         // last archive header read
  uint8_t solidFlag;          // settings byte bits 2-3
  OptionsRecord options;      // as stored; options.optionWord is the option word
  char execFile[528];
  char execArgs[520];
  char archiveName[260];      // shown in error texts
};
extern ContainerState gContainer;

uint32_t OptionWord();  // gContainer.options.optionWord
void LocateArchive();
void CheckArchiveHeader();
int IsValidArchiveHeader(const uint8_t* header);
void ReadArchiveSettings(uint8_t* solidFlag);
int LoadStoredOptions(const char* ownPath);
// The marker rule; returns 1 (and leaves the temporary folder empty) when the
// folder would not fit in its 260-byte buffer, else 0.
int ApplyTempFolderText(const char* text, uint32_t length);
void SplitExecuteText(const char* text, uint32_t length, char* file, char* args);

// ---- profiles.cpp: size profiles and decoder memory --------------------------
struct SizeProfile {
  uint16_t windowFactor;
  uint16_t minMatch;
  uint16_t third, fourth, fifth;
  uint16_t distanceWidth;
  char name[50];
};
extern const SizeProfile kSizeProfiles[9];

struct DecoderState {
  uint8_t profileIndex;
  uint32_t windowSize;     // W
  uint32_t minMatch;       // M
  uint16_t distanceWidth;  // w
  // Reserved once per run, zero-filled, never released.
  uint8_t* window;         // 2 * W
  uint8_t* flagStream;     // 65,536 each
  uint8_t* lengthStream;
  uint8_t* literalStream;
  uint8_t* highStream;
  uint8_t* middleStream;
  uint16_t* lowBitTable;   // 65,536 cells
  uint8_t* modelInput;     // 65,536
  uint8_t* modelOutput;    // 65,536
};
extern DecoderState gDecoder;

int PrepareDecoder(int load);
int LoadSizeProfile(uint8_t index);
int SetUpDecoderMemory();
// "%ld.%ld" text of the memory estimate for a window size (e.g. "4.393").
void FormatMemoryEstimate(uint32_t windowSize, char* out, int size);
