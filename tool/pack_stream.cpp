// pack's data path: the file list is written from what the selection saw,
// then the inputs are read one at a time straight into the match coder's
// window and every finished block goes to OUT.part, so that memory is set by
// the window and not by the size of the inputs. An input that is not what
// the file list says any more (size, time or identity changed, or it cannot
// be read to its end) ends the pack with its name, and OUT.part is removed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format/format.h"
#include "packer/pe_resources.h"
#include "tool/pack_stream.h"
#include "tool/util.h"

namespace tool {

namespace {

// The inputs one after the other, as the match coder's data source.
class InputReader {
 public:
  explicit InputReader(const std::vector<InputFile>& inputs) : inputs_(inputs) {}
  ~InputReader() { Close(); }
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;

  // After the last byte: checks that every file ended where the list says.
  void Finish() { Read(nullptr, 0); }

  size_t Read(uint8_t* into, size_t size) {
    while (index_ < inputs_.size() && (!open_ || left_ == 0)) {
      if (open_) {
        EndFile();
        ++index_;
      } else {
        Open();
      }
    }
    if (index_ == inputs_.size()) return 0;
    if (fd_ < 0) {  // a link: its target, read when it was opened
      const std::string& target = inputs_[index_].linkTarget;
      const size_t got = static_cast<size_t>(std::min<uint64_t>(size, left_));
      std::memcpy(into, target.data() + (target.size() - left_), got);
      left_ -= got;
      return got;
    }
    for (;;) {
      ssize_t got = read(fd_, into, static_cast<size_t>(std::min<uint64_t>(size, left_)));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw Failure("cannot read '" + Path() + "': " + Errno());
      if (got == 0) Changed();  // shorter than when it was selected
      left_ -= static_cast<uint64_t>(got);
      return static_cast<size_t>(got);
    }
  }

 private:
  const std::string& Path() const { return inputs_[index_].path; }
  [[noreturn]] void Changed() const { throw Failure("'" + Path() + "' changed while it was packed"); }

  void Open() {
    const InputFile& input = inputs_[index_];
    open_ = true;
    if (S_ISLNK(input.mode) || S_ISDIR(input.mode)) return OpenEntry(input);
    // Without blocking, so that a FIFO or device swapped in is refused below
    // and never waited on. A last component that is a link (the selection
    // followed it) is opened through it: the identity check stands for
    // O_NOFOLLOW there.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    fd_ = open(input.path.c_str(), flags | O_NOFOLLOW);
    if (fd_ < 0 && errno == ELOOP) fd_ = open(input.path.c_str(), flags);
    if (fd_ < 0) throw Failure("cannot open '" + input.path + "': " + Errno());
    struct stat st;
    if (fstat(fd_, &st) != 0) throw Failure("cannot read '" + input.path + "': " + Errno());
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != input.size ||
        ModificationNs(st) != input.mtimeNs || static_cast<uint64_t>(st.st_dev) != input.device ||
        static_cast<uint64_t>(st.st_ino) != input.inode)
      Changed();
    left_ = input.size;
  }

  // A link or a folder, stored as an entry: it must still be what was
  // selected (a link with the same target), and is never followed.
  void OpenEntry(const InputFile& input) {
    struct stat st;
    if (lstat(input.path.c_str(), &st) != 0) throw Failure("cannot read '" + input.path + "': " + Errno());
    if ((st.st_mode & S_IFMT) != (input.mode & S_IFMT) || static_cast<uint64_t>(st.st_dev) != input.device ||
        static_cast<uint64_t>(st.st_ino) != input.inode)
      Changed();
    left_ = input.size;
    if (!S_ISLNK(st.st_mode)) return;
    char target[kLinkTargetMax + 2];
    const ssize_t length = readlink(input.path.c_str(), target, sizeof target);
    if (length < 0 || std::string(target, static_cast<size_t>(length)) != input.linkTarget) Changed();
  }

  // A file read to its stored size must end there.
  void EndFile() {
    if (fd_ < 0) {  // a link or a folder
      open_ = false;
      return;
    }
    char extra;
    ssize_t got;
    do got = read(fd_, &extra, 1);
    while (got < 0 && errno == EINTR);
    if (got < 0) throw Failure("cannot read '" + Path() + "': " + Errno());
    if (got > 0) Changed();
    Close();
  }

  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    open_ = false;
  }

  const std::vector<InputFile>& inputs_;
  size_t index_ = 0;
  bool open_ = false;  // inputs_[index_] is open (a file, then also fd_)
  int fd_ = -1;        // the open file inputs_[index_], or -1
  uint64_t left_ = 0;  // its bytes not read yet
};

// The mode as the file entry stores it: the system's type bits are those of
// the format (kMode*), and a link's permissions are always 0777.
uint16_t StoredMode(uint32_t mode) {
  static_assert(S_IFREG == kModeRegular && S_IFDIR == kModeFolder && S_IFLNK == kModeLink,
                "the stored type bits are the system's");
  if (S_ISLNK(mode)) return kModeLink | kModePermissionBits;
  return static_cast<uint16_t>(mode & (kModeTypeMask | kModeSpecialBits | kModePermissionBits));
}

}  // namespace

std::vector<packer::FileEntry> FileList(const std::vector<InputFile>& inputs,
                                        const char* epochText, uint64_t epoch, bool modes) {
  std::vector<packer::FileEntry> entries;
  for (const InputFile& input : inputs) {
    // Times before 1970 or past 2106 do not fit the stored 32-bit field.
    uint64_t seconds = input.mtimeNs < 0 ? 0 : static_cast<uint64_t>(input.mtimeNs / 1000000000);
    if (epochText != nullptr && seconds > epoch) seconds = epoch;
    entries.push_back({input.name, static_cast<uint32_t>(input.size),
                       static_cast<uint32_t>(std::min<uint64_t>(seconds, 0xFFFFFFFFu)),
                       static_cast<uint8_t>((S_ISDIR(input.mode) ? 0x10 : 0x20) | ((input.mode & S_IWUSR) ? 0 : 0x01)),
                       static_cast<uint16_t>(modes ? StoredMode(input.mode) : 0)});
  }
  return entries;
}

uint64_t WriteSelfExtractor(OutputFile& output, packer::Bytes image, bool branded,
                            const std::vector<InputFile>& inputs,
                            const std::vector<packer::FileEntry>& entries,
                            const StoredOptions& stored, int profile, int level,
                            std::atomic<uint64_t>* done) {
  // The checksum field is counted as zero: the image goes out as it is and
  // is written again with the checksum at the end.
  packer::PeChecksummer checksum(image);
  checksum.Add(image.data(), image.size());
  output.Append(image);
  uint64_t archive = 0;
  InputReader reader(inputs);
  // Progress counts the input read: the coder reads at most about two windows
  // ahead of what it has coded, and a run of equal bytes is coded in long
  // steps that a count of coded bytes would show as a stall.
  const packer::DataSource source = [&reader, done](uint8_t* into, size_t size) {
    size_t got = reader.Read(into, size);
    if (done != nullptr) *done += got;
    return got;
  };
  const packer::BlockSink sink = [&](const packer::Bytes& piece) {
    if (branded) checksum.Add(piece.data(), piece.size());
    output.Append(piece);
    archive += piece.size();
  };
  packer::WriteArchive(entries, packer::WriteOptionBlock(stored), profile, level, source, sink);
  reader.Finish();
  if (branded && packer::SetPeChecksum(image, checksum.Value())) output.Rewrite(image);
  return archive;
}

}  // namespace tool
