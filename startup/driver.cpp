// The extraction driver: opens the stub's own file as the archive a second
// time, checks it, and has every stored file decompressed and written.
#include <cstdio>
#include <cstring>

#include "container/container.h"
#include "container/format.h"
#include "output/output.h"
#include "platform/platform.h"
#include "startup/startup.h"

void ExtractArchive(const char* path) {
  gOverwriteAll = static_cast<uint8_t>(OptionField(OptionWord(), kOverWriteExistingFiles));
  std::memset(gContainer.archiveName, 0, sizeof gContainer.archiveName);
  // A path over 259 characters is opened whole; error texts show its first 259.
  std::strncpy(gContainer.archiveName, path, sizeof gContainer.archiveName - 1);
  gContainer.archive = nullptr;
  gContainer.solidFlag = 1;
  gDecoder.profileIndex = 0;
  std::memset(gContainer.header, 0, sizeof gContainer.header);

  FILE* file = PlatformOpenFile(path, "rb");
  if (!file) {
    ReportError(0, path);
    return;
  }
  gContainer.archive = file;
  uint8_t solidFlag = 255;
  ReadArchiveSettings(&solidFlag);
  if (solidFlag != 255) ExtractFiles();

  FinishFile(gContainer.archive, 0, 0);
  gContainer.archive = nullptr;
  if (gExpand.outputFile) FinishFile(gExpand.outputFile, 0, 0);
}

void ExtractFiles() {
  uint32_t started = 0;
  // PrepareDecoder reports its own errors and always leaves decoder memory
  // reserved, so the steps go on as listed when IgnoreErrors lets them.
  PrepareDecoder(1);
  InitFileTable();
  if (ReadSolidHeader() == 0) {
    BeginFiles();
    started = gExpand.filesStarted;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%d files processed.", static_cast<int>(started));
  StatusText(text);
}
