#include "support/append_stub.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "format/format.h"
#include "format/signature.h"

std::string AppendToStub(const std::string& stubPath, const packer::Bytes& archive,
                         const std::string& outPath) {
  const std::string what = "the stub '" + stubPath + "'";
  std::ifstream in(stubPath, std::ios::binary);
  if (!in) return "cannot read " + what;
  packer::Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return "cannot read " + what;
  // The stub finds its archive only when the archive's signature lies wholly
  // inside the search window, and only as the second occurrence in the file.
  if (image.size() > kMaxArchiveStart)
    return what + " is " + std::to_string(image.size()) +
           " bytes long; the archive must start at offset " + std::to_string(kMaxArchiveStart) +
           " or earlier";
  const size_t copies = CountOverlaySignatures(image.data(), image.size());
  if (copies != 1)
    return what + " holds " + std::to_string(copies) +
           " copies of the overlay signature instead of exactly one";

  const std::string temp = outPath + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot create '" + temp + "'";
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.write(reinterpret_cast<const char*>(archive.data()), static_cast<std::streamsize>(archive.size()));
    out.close();
    if (!out) {
      std::remove(temp.c_str());
      return "cannot write '" + temp + "'";
    }
  }
  struct stat st;
  if (stat(temp.c_str(), &st) == 0) chmod(temp.c_str(), (st.st_mode & 07777) | S_IXUSR);
  if (std::rename(temp.c_str(), outPath.c_str()) != 0) {
    std::remove(temp.c_str());
    return "cannot rename '" + temp + "' to '" + outPath + "'";
  }
  return std::string();
}
