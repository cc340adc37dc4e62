// Helpers of the dolm tool: option parsing, text forms for listings, the
// executable's own folder and the progress line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "tool/display.h"
#include "format/format.h"
#include "tool/util.h"

namespace tool {

bool ParsedArgs::Has(const std::string& name) const {
  for (const auto& option : options)
    if (option.first == name) return true;
  return false;
}

std::string ParsedArgs::Value(const std::string& name, const std::string& fallback) const {
  std::string value = fallback;
  for (const auto& option : options)
    if (option.first == name) value = option.second;
  return value;
}

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs) {
  ParsedArgs parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      for (size_t k = i + 1; k < args.size(); ++k) {
        parsed.operands.push_back(args[k]);
        parsed.sequence.emplace_back("", args[k]);
      }
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      parsed.operands.push_back(arg);
      parsed.sequence.emplace_back("", arg);
      continue;
    }
    std::string name = arg, value;
    bool inlineValue = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      inlineValue = true;
    }
    auto find = [&defs](const std::string& wanted) -> const OptionDef* {
      for (const auto& candidate : defs)
        if (candidate.name == wanted || (!candidate.alias.empty() && candidate.alias == wanted))
          return &candidate;
      return nullptr;
    };
    const OptionDef* def = find(name);
    // "-oFILE": a short option that takes a value may have it attached.
    if (def == nullptr && arg[1] != '-' && arg.size() > 2) {
      def = find(arg.substr(0, 2));
      if (def != nullptr && def->takesValue) {
        name = arg.substr(0, 2);
        value = arg.substr(2);
        inlineValue = true;
      } else {
        def = nullptr;
      }
    }
    if (def == nullptr) throw UsageError("unknown option '" + name + "'");
    if (def->takesValue && !inlineValue) {
      if (i + 1 >= args.size()) throw UsageError("option '" + name + "' needs a value");
      value = args[++i];
    } else if (!def->takesValue && inlineValue) {
      throw UsageError("option '" + def->name + "' takes no value");
    }
    parsed.options.emplace_back(def->name, value);
    parsed.sequence.emplace_back(def->name, value);
  }
  return parsed;
}

std::string IsoTime(uint32_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm parts;
  gmtime_r(&t, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string JsonString(const std::string& text) {
  // Strict UTF-8 passes unchanged; any other byte above 0x7F is shown as the
  // Latin-1 character of that value, so that the output is always UTF-8.
  std::string out = "\"";
  char escape[8];
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = Utf8SequenceLength(text, i);
    if (c >= 0x80 && length > 1) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string AttributeText(uint8_t attributes) {
  std::string text = "----";
  if (attributes & 0x01) text[0] = 'R';
  if (attributes & 0x02) text[1] = 'H';
  if (attributes & 0x04) text[2] = 'S';
  if (attributes & 0x20) text[3] = 'A';
  return text;
}

std::string ModeText(uint16_t mode) {
  const uint16_t type = mode & kModeTypeMask;
  std::string text = type == kModeFolder ? "d" : type == kModeLink ? "l" : "-";
  for (int shift = 6; shift >= 0; shift -= 3) {
    text += (mode >> shift) & 4 ? 'r' : '-';
    text += (mode >> shift) & 2 ? 'w' : '-';
    text += (mode >> shift) & 1 ? 'x' : '-';
  }
  // setuid, setgid and sticky stand in the execute places, as ls shows them.
  const struct { uint16_t bit; size_t at; char on, off; } specials[] = {
      {04000, 3, 's', 'S'}, {02000, 6, 's', 'S'}, {01000, 9, 't', 'T'}};
  for (const auto& special : specials)
    if (mode & special.bit) text[special.at] = text[special.at] == 'x' ? special.on : special.off;
  return text;
}

const char* ModeKind(uint16_t mode) {
  const uint16_t type = mode & kModeTypeMask;
  return type == kModeFolder ? "folder" : type == kModeLink ? "link" : "file";
}

std::string OneLine(const std::string& message) {
  std::string out;
  size_t firstBreak = message.find('\n');
  bool numbered = message.compare(0, 7, "Error #") == 0;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '\n') {
      out += message[i];
    } else if (numbered && i == firstBreak) {
      out += ": ";
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string ExecutableFolder() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string text(path, static_cast<size_t>(length));
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

struct ProgressLine::Impl {
  std::function<std::string()> text;
  std::mutex lock;
  std::condition_variable wake;
  bool done = false;
  bool shown = false;
  std::thread worker;

  void Run() {
    // Short runs show nothing: the first line appears after one second.
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::unique_lock<std::mutex> guard(lock);
    while (!wake.wait_until(guard, next, [this] { return done; })) {
      std::string line = text();
      fprintf(stderr, "\r%s\x1b[K", line.c_str());
      fflush(stderr);
      shown = true;
      next = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    }
    if (shown) {
      fputs("\r\x1b[K", stderr);
      fflush(stderr);
    }
  }
};

ProgressLine::ProgressLine(std::function<std::string()> text) : impl_(nullptr) {
  if (!StderrIsTerminal()) return;
  impl_ = new Impl;
  impl_->text = std::move(text);
  impl_->worker = std::thread([this] { impl_->Run(); });
}

ProgressLine::~ProgressLine() {
  if (impl_ == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->done = true;
  }
  impl_->wake.notify_all();
  impl_->worker.join();
  delete impl_;
}

std::string Errno() { return std::strerror(errno); }

// Opened without blocking, so that a FIFO or a device named here is refused
// and never waited on.
packer::Bytes ReadWholeFile(const std::string& path, const std::string& what, size_t limit) {
  const std::string named = what.empty() ? "'" + path + "'" : what + " '" + path + "'";
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw Failure("cannot read " + named + ": " + Errno());
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    throw Failure(named + " is not a regular file");
  }
  packer::Bytes bytes;
  uint8_t buffer[65536];
  ssize_t got = 0;
  while (bytes.size() <= limit && ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)))
    if (got > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  const int readError = errno;
  close(fd);
  if (got < 0) throw Failure("cannot read " + named + ": " + std::strerror(readError));
  if (bytes.size() > limit + 1) bytes.resize(limit + 1);
  return bytes;
}

}  // namespace tool
