// Fuzz target: a whole run of the stub on a file (stub image and appended
// archive), in process: own path from a command line, the stored options,
// the switches "-o -i -s <folder>", the extraction into a private folder,
// and the removal of what was extracted. The execute file is never started.
//
// The private folder lies 60 levels deep, so that no stored name with ".."
// parts can leave the fuzzer's own folder: a target path holds at most 259
// characters, too few to climb out.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container/container.h"
#include "container/format.h"
#include "fuzz/fuzz_support.h"
#include "launch/launch.h"
#include "output/output.h"
#include "startup/startup.h"

namespace {

constexpr int kDepth = 60;

// Creates the chain of folders (again, after a run may have removed parts
// of it) and returns the innermost one with a trailing slash.
std::string TargetFolder() {
  std::string folder = FuzzWorkFolder() + "x";
  for (int i = 0; i < kDepth; ++i) {
    mkdir(folder.c_str(), 0700);
    folder += "/a";
  }
  mkdir(folder.c_str(), 0700);
  return folder + "/";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzResetState();
  FuzzReleaseDecoder();
  ForgetWrittenPaths();
  const std::string folder = TargetFolder();
  const std::string path = FuzzWriteInput("stub.exe", data, size);

  // The folder goes in with backslashes: a leading "/t" would be read as a switch.
  std::string stubFolder = folder;
  for (char& c : stubFolder)
    if (c == '/') c = '\\';
  const std::string args = "-o -i -s " + stubFolder;
  const std::string commandLine = "\"" + path + "\" " + args;
  TakeOwnPath(commandLine.c_str(), args.c_str());
  gContainer.optionBlockPos = 0;
  LoadStoredOptions(gStartup.ownPath);
  ApplySwitches(args.c_str());
  if (strcmp(gStartup.tempFolder, stubFolder.c_str()) != 0) abort();
  ExtractArchive(gStartup.ownPath);
  RemoveFolderContents(stubFolder.c_str(), 1);

  // Whatever the run left, inside the folder or climbing out of it, goes.
  FuzzEmptyFolder(FuzzWorkFolder() + "x");
  return 0;
}
