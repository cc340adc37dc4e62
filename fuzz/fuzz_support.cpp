#include "fuzz/fuzz_support.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "engine/engine.h"
#include "output/output.h"
#include "startup/startup.h"

void FuzzResetState() {
  SetReportOnly(1);
  if (gContainer.archive != nullptr) fclose(gContainer.archive);
  if (gExpand.outputFile != nullptr) fclose(gExpand.outputFile);
  memset(&gContainer, 0, sizeof gContainer);
  memset(&gBlock, 0, sizeof gBlock);
  memset(&gExpand, 0, sizeof gExpand);
  memset(&gStartup, 0, sizeof gStartup);
  gFiles.count = 0;
  gOverwriteAll = 0;
}

void FuzzReleaseDecoder() {
  free(gDecoder.window);
  free(gDecoder.flagStream);
  free(gDecoder.lengthStream);
  free(gDecoder.literalStream);
  free(gDecoder.highStream);
  free(gDecoder.middleStream);
  free(gDecoder.lowBitTable);
  free(gDecoder.modelInput);
  free(gDecoder.modelOutput);
  memset(&gDecoder, 0, sizeof gDecoder);
}

namespace {

std::string gWorkFolder;

int RemoveAny(const char* path, const struct stat*, int, struct FTW*) { return remove(path), 0; }

void RemoveWorkFolder() {
  if (!gWorkFolder.empty()) nftw(gWorkFolder.c_str(), RemoveAny, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string& FuzzWorkFolder() {
  if (gWorkFolder.empty()) {
    gWorkFolder = "/tmp/dolmfuzz-" + std::to_string(getpid()) + "/";
    mkdir(gWorkFolder.c_str(), 0700);
    atexit(RemoveWorkFolder);
  }
  return gWorkFolder;
}

std::string FuzzWriteInput(const char* name, const uint8_t* data, size_t size) {
  std::string path = FuzzWorkFolder() + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) abort();
  if (size != 0 && fwrite(data, 1, size, file) != size) abort();
  fclose(file);
  return path;
}

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW* ftw) {
  if (ftw->level > 0) remove(path);
  return 0;
}

}  // namespace

void FuzzEmptyFolder(const std::string& folder) {
  nftw(folder.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}
