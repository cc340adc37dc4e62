// mkarchive: builds an archive from host files and appends it to a stub, for
// the shell tests that drive the stubs.
//
//   mkarchive --stub PATH --out PATH [--word 0x115] [--temp TEXT]
//             [--exec FILE] [--args TEXT] [--exec-text RAW] [--profile N]
//             [--level N] [--solid N] [--front-only] [STOREDNAME=HOSTFILE ...]
//
// Each stored file takes the host file's modification time; it is stored
// read-only (0x21) when the host file has no owner write permission, else
// with the archive attribute alone (0x20). --front-only writes only the
// option block and the archive header, without solid header or data blocks.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "packer/packer.h"
#include "support/append_stub.h"

namespace {

int Usage(const char* message) {
  std::fprintf(stderr, "mkarchive: %s\n", message);
  std::fprintf(stderr,
               "usage: mkarchive --stub PATH --out PATH [--word N] [--temp TEXT] [--exec FILE]\n"
               "                 [--args TEXT] [--exec-text RAW] [--profile N] [--level N]\n"
               "                 [--solid N] [--front-only] [STOREDNAME=HOSTFILE ...]\n");
  return 2;
}

packer::PackFile ReadHostFile(const std::string& stored, const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read '" + host + "'");
  packer::PackFile f;
  f.name = stored;
  f.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  struct stat st;
  if (stat(host.c_str(), &st) == 0) {
    f.time = static_cast<uint32_t>(st.st_mtime);
    f.attributes = (st.st_mode & S_IWUSR) ? 0x20 : 0x21;
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::string stub, out, execFile, execArgs, execText;
  bool haveExecText = false, frontOnly = false;
  uint32_t word = 0;
  std::string temp;
  int profile = 0, level = 5, solid = 1;
  std::vector<std::pair<std::string, std::string>> inputs;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(std::string(name) + " needs a value");
      return argv[++i];
    };
    try {
      if (a == "--stub") stub = value("--stub");
      else if (a == "--out") out = value("--out");
      else if (a == "--word") word = static_cast<uint32_t>(std::stoul(value("--word"), nullptr, 0));
      else if (a == "--temp") temp = value("--temp");
      else if (a == "--exec") execFile = value("--exec");
      else if (a == "--args") execArgs = value("--args");
      else if (a == "--exec-text") { execText = value("--exec-text"); haveExecText = true; }
      else if (a == "--profile") profile = std::stoi(value("--profile"));
      else if (a == "--level") level = std::stoi(value("--level"));
      else if (a == "--solid") solid = std::stoi(value("--solid"));
      else if (a == "--front-only") frontOnly = true;
      else if (a.size() > 2 && a.compare(0, 2, "--") == 0) return Usage(("unknown option " + a).c_str());
      else {
        size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) return Usage(("expected STOREDNAME=HOSTFILE: " + a).c_str());
        inputs.emplace_back(a.substr(0, eq), a.substr(eq + 1));
      }
    } catch (const std::exception& e) {
      return Usage(e.what());
    }
  }
  if (stub.empty() || out.empty()) return Usage("--stub and --out are required");
  if (profile < 0 || profile > 15) return Usage("--profile must be 0 to 15");
  if (solid < 0 || solid > 3) return Usage("--solid must be 0 to 3");

  // The texts go in byte for byte: the shell tests also store texts the stub refuses.
  const packer::Bytes options =
      packer::WriteOptionBlock(word, temp, haveExecText ? execText : packer::MakeExecuteText(execFile, execArgs));
  try {
    packer::Bytes archive;
    if (frontOnly) {
      archive = options;
      auto header = packer::MakeArchiveHeader(static_cast<uint8_t>(profile),
                                              static_cast<uint8_t>(solid));
      archive.insert(archive.end(), header.begin(), header.end());
    } else {
      std::vector<packer::PackFile> files;
      for (const auto& in : inputs) files.push_back(ReadHostFile(in.first, in.second));
      archive = packer::BuildArchive(files, options, profile, level);
    }
    std::string error = AppendToStub(stub, archive, out);
    if (!error.empty()) {
      std::fprintf(stderr, "mkarchive: %s\n", error.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mkarchive: %s\n", e.what());
    return 1;
  }
  return 0;
}
