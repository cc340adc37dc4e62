// Writing a self-extractor: the stub image, the output path and OUT.part.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/packer.h"

namespace tool {

std::string FindStub(const std::string& choice);  // kind or path; UsageError for a wrong kind
// What --stub takes, for the shell completion.
constexpr char kStubWords[] = "win32 win64 linux FILE";
packer::Bytes ReadStubImage(const std::string& path);
// Refuses "-", an output that is not a regular file and a planted OUT.part.
void CheckOutputPath(const std::string& out);
// A file a command reads: where it is and what it is.
struct InputIdentity {
  std::string path;
  uint64_t device, inode;
};
// Refuses an output whose OUT or OUT.part is one of the inputs, so that
// neither writing OUT nor removing a stale OUT.part destroys an input; called
// before anything is read.
void RefuseOutputAmongInputs(const std::string& out, const std::vector<InputIdentity>& inputs);
// OUT.part, created fresh (never through a link) and removed again unless
// committed, also when SIGINT, SIGTERM or SIGHUP ends the process.
class OutputFile {
 public:
  explicit OutputFile(const std::string& out);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Writes image + archive and renames OUT.part to OUT; returns the bytes written.
  uint64_t Commit(const packer::Bytes& image, const packer::Bytes& archive);
  // Or piece by piece: Append each piece in order, Rewrite the start of what
  // was written, then Commit.
  void Append(const packer::Bytes& bytes);
  void Rewrite(const packer::Bytes& bytes);
  uint64_t Commit();

 private:
  std::string out_, part_;
  int fd_ = -1;
  uint64_t written_ = 0;
  bool committed_ = false;
};

}  // namespace tool
