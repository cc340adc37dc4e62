// dolm pack --icon / --version-info / --execution-level: the Windows stub
// with the application icon, version information and manifest it asks for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "packer/pe_resources.h"
#include "tool/brand.h"

namespace tool {

namespace {

constexpr size_t kMaxInputImage = 16 << 20;  // larger files cannot fit the search window anyway

// Opened without blocking, so that a FIFO or a device named here is refused
// and never waited on.
packer::Bytes ReadWhole(const std::string& path, const std::string& what) {
  packer::Bytes data = ReadWholeFile(path, what, kMaxInputImage);
  if (data.size() > kMaxInputImage) throw Failure(what + " '" + path + "' is larger than 16 MiB");
  return data;
}

// The branding the command line asks for; usage errors first, then the icon file.
packer::Branding ParseBranding(const ParsedArgs& parsed) {
  packer::Branding branding;
  for (const auto& option : parsed.options) {
    if (option.first != "--version-info") continue;
    size_t equals = option.second.find('=');
    if (equals == std::string::npos || equals == 0)
      throw UsageError("--version-info '" + option.second + "' is not NAME=VALUE");
    branding.version.emplace_back(option.second.substr(0, equals), option.second.substr(equals + 1));
  }
  packer::Bytes unused;
  std::string error = packer::VersionResource(branding.version, unused);
  if (!branding.version.empty() && !error.empty()) throw UsageError("--version-info: " + error);
  branding.executionLevel = parsed.Value("--execution-level");
  if (parsed.Has("--execution-level") && !packer::IsExecutionLevel(branding.executionLevel))
    throw UsageError("--execution-level '" + branding.executionLevel +
                     "' is not one of asInvoker, highestAvailable, requireAdministrator");
  if (parsed.Has("--icon")) {
    std::string path = parsed.Value("--icon");
    branding.icon = ReadWhole(path, "the icon");
    std::vector<packer::Bytes> images;
    packer::Bytes group;
    error = packer::IconResources(branding.icon, 1, images, group);
    if (!error.empty()) throw Failure("the icon '" + path + "': " + error);
  }
  return branding;
}

}  // namespace

packer::Bytes BrandedStub(const ParsedArgs& parsed, const std::string& stubChoice, const std::string& stubPath) {
  if (!parsed.Has("--icon") && !parsed.Has("--version-info") && !parsed.Has("--execution-level")) return {};
  // The stub first: the branding options (the icon file among them) are read only for a Windows stub.
  const char* linuxHasNone =
      "--icon, --version-info and --execution-level set Windows resources; the Linux stub has none";
  if (stubChoice == "linux") throw UsageError(linuxHasNone);
  packer::Bytes image = ReadWhole(stubPath, "the stub");
  if (packer::IsElfImage(image)) throw UsageError(linuxHasNone);
  packer::Branding branding = ParseBranding(parsed);
  size_t plain = image.size();
  std::string error = packer::BrandImage(image, branding);
  if (!error.empty()) throw Failure("cannot brand the stub '" + stubPath + "': " + error);
  if (image.size() > kMaxArchiveStart)
    throw Failure("the stub '" + stubPath + "' with its new resources is " + std::to_string(image.size()) +
                  " bytes (" + std::to_string(plain) + " without them); the archive must start at offset " +
                  std::to_string(kMaxArchiveStart) + " or earlier, inside the stub's search window");
  return image;
}

}  // namespace tool
