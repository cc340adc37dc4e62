// dolm pack --icon / --version-info / --execution-level: the Windows stub
// with the application icon, version information and manifest it asks for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "format/format.h"
#include "packer/pe_resources.h"
#include "tool/brand.h"
#include "tool/display.h"
#include "tool/output_file.h"

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

const std::vector<OptionDef> kBrandingOptionDefs = [] {
  std::string names;
  for (const char* name : packer::kVersionNames) names += (names.empty() ? "" : " ") + std::string(name) + "=";
  return std::vector<OptionDef>{{"--icon", "", true, "FILE"},
                                {"--version-info", "", true, names},
                                {"--execution-level", "", true, "asInvoker highestAvailable requireAdministrator"}};
}();

namespace {

const char kLinuxHasNone[] = "--icon, --version-info and --execution-level set Windows resources; the Linux stub has none";

bool BrandingAsked(const ParsedArgs& parsed) {
  return parsed.Has("--icon") || parsed.Has("--version-info") || parsed.Has("--execution-level");
}

// The stub image a Windows self-extractor starts with, read by `read` after
// the Linux stub is refused when branding is asked for (the branding options
// are read only after it).
packer::Bytes ReadStubFor(const ParsedArgs& parsed, const std::string& stubChoice,
                          const std::function<packer::Bytes()>& read) {
  if (BrandingAsked(parsed) && stubChoice == "linux") throw UsageError(kLinuxHasNone);
  packer::Bytes image = read();
  if (BrandingAsked(parsed) && packer::IsElfImage(image)) throw UsageError(kLinuxHasNone);
  return image;
}

void CheckBrandedSize(const packer::Bytes& image, size_t plain, const std::string& stubPath) {
  if (image.size() > kMaxArchiveStart)
    throw Failure("the stub '" + stubPath + "' with its new resources is " + std::to_string(image.size()) +
                  " bytes (" + std::to_string(plain) + " without them); the archive must start at offset " +
                  std::to_string(kMaxArchiveStart) + " or earlier, inside the stub's search window");
}

void ApplyBranding(const ParsedArgs& parsed, packer::Bytes& image, const std::string& stubPath) {
  std::string error = packer::BrandImage(image, ParseBranding(parsed));
  if (!error.empty()) throw Failure("cannot brand the stub '" + stubPath + "': " + error);
}

// Whether a Windows stub image holds version information or a manifest:
// what pack's branding leaves behind (the plain stubs have neither).
bool HoldsBranding(const packer::Bytes& image) {
  std::vector<packer::Resource> resources;
  if (packer::IsElfImage(image) || !packer::ReadResources(image, resources).empty()) return false;
  for (const auto& r : resources)
    if (r.type.text.empty() && (r.type.id == packer::kRtVersion || r.type.id == packer::kRtManifest)) return true;
  return false;
}

}  // namespace

packer::Bytes BrandedStub(const ParsedArgs& parsed, const std::string& stubChoice, const std::string& stubPath) {
  if (!BrandingAsked(parsed)) return {};
  packer::Bytes image = ReadStubFor(parsed, stubChoice, [&] { return ReadWhole(stubPath, "the stub"); });
  size_t plain = image.size();
  ApplyBranding(parsed, image, stubPath);
  CheckBrandedSize(image, plain, stubPath);
  return image;
}

packer::Bytes RestubImage(const ParsedArgs& parsed, const std::string& stubChoice, const std::string& stubPath,
                          const packer::Bytes& oldImage, const std::string& in, bool* branded) {
  packer::Bytes image = ReadStubFor(parsed, stubChoice, [&] { return ReadStubImage(stubPath); });
  *branded = false;
  if (packer::IsElfImage(image)) {
    if (HoldsBranding(oldImage))
      fprintf(stderr, "dolm: restub: the Linux stub has no resources: the icon, version information and "
                      "manifest of '%s' are left behind\n", Shown(in).c_str());
    return image;
  }
  size_t plain = image.size();
  if (!packer::IsElfImage(oldImage)) {
    // A stub whose resources cannot be read loses nothing by being replaced: say so and go on.
    std::string error = packer::CarryBranding(oldImage, image, branded);
    if (!error.empty())
      fprintf(stderr, "dolm: restub: the resources of the stub of '%s' cannot be read (%s): the new stub "
                      "keeps its own icon\n", Shown(in).c_str(), error.c_str());
  }
  if (BrandingAsked(parsed)) {
    ApplyBranding(parsed, image, stubPath);
    *branded = true;
  }
  CheckBrandedSize(image, plain, stubPath);
  return image;
}

}  // namespace tool
