// Which files `dolm pack` stores and under which names: the inputs named on
// the command line and in -T lists, taken relative to -C folders, less what
// --exclude patterns match, with symbolic links followed or refused.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "format/format.h"
#include "format/link_target.h"
#include "tool/display.h"
#include "tool/inputs.h"

namespace tool {

namespace {

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || name.front() == '/') return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The name an input is stored under without -C: its last path component (for
// "." or a path ending in "..", the name of the folder it resolves to).
std::string LastComponent(const std::string& input, const std::string& path) {
  std::string trimmed = input;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  std::string last = trimmed.substr(slash == std::string::npos ? 0 : slash + 1);
  if (last == "." || last == "..") {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) throw Failure("cannot read '" + input + "': " + Errno());
    std::string full = resolved;
    free(resolved);
    last = full.substr(full.rfind('/') + 1);
  }
  if (last.empty() || last == "/")
    throw Failure("'" + input + "' has no name to store it under; pack the files inside it");
  return last;
}

// The stored components of an input stored as given (after -C, or read with
// -T): its path as written, relative to `base`, less "." and empty components
// ("." alone stores the folder's contents under their own names).
std::vector<std::string> RelativeComponents(const std::string& input, const std::string& base,
                                            bool listed) {
  if (input.front() == '/')
    throw Failure("'" + input + "': " + (listed ? "names read with -T" : "inputs after -C") +
                  " are stored as given, relative to " + base + ", so they cannot be absolute");
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('/', start);
    if (end == std::string::npos) end = input.size();
    std::string part = input.substr(start, end - start);
    if (part == "..")
      throw Failure("'" + input + "': a '..' component would store a name outside " + base);
    if (!part.empty() && part != ".") components.push_back(part);
    start = end + 1;
  }
  return components;
}

}  // namespace

int64_t ModificationNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

namespace {

struct Walker {
  bool followLinks = true;
  bool unixEntries = false;   // links stored as links, empty folders stored, modes kept
  bool allowUnsafeLinks = false;
  bool keepSpecialModes = false;
  std::vector<std::string> excludes;
  std::vector<std::pair<dev_t, ino_t>> ancestors;  // open folders, against link loops
  // Every folder entered: its stored name and whether a link led there, so
  // that folders shared through links cannot multiply the walk.
  std::map<std::pair<dev_t, ino_t>, std::pair<std::string, bool>> entered;
  std::vector<InputFile> files;

  bool Excluded(const std::vector<std::string>& components) const {
    if (components.empty()) return false;
    std::string name;
    for (const auto& component : components) name += (name.empty() ? "" : "/") + component;
    for (const auto& pattern : excludes) {
      if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
      for (const auto& component : components)
        if (fnmatch(pattern.c_str(), component.c_str(), 0) == 0) return true;
    }
    return false;
  }

  // What `path` is, links followed (`link` says so) or refused; throws with the reason.
  struct stat Examine(const std::string& path, bool& link) const {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) throw Failure("cannot read '" + path + "': " + Errno());
    link = S_ISLNK(st.st_mode);
    if (!link) return st;
    char target[4096];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    std::string to = length < 0 ? "?" : std::string(target, static_cast<size_t>(length));
    if (!followLinks)
      throw Failure("'" + path + "' is a symbolic link (to '" + to +
                    "'); --no-follow refuses links: name what it points to instead");
    if (unixEntries) return st;  // stored as a link
    if (stat(path.c_str(), &st) == 0) return st;
    if (errno == ELOOP) throw Failure("'" + path + "' is a symbolic link that loops ('" + to + "')");
    if (errno == ENOENT)
      throw Failure("'" + path + "' is a symbolic link to '" + to + "', which does not exist");
    throw Failure("cannot follow the symbolic link '" + path + "': " + Errno());
  }

  // A folder reached under a second name where a link led to it either
  // time is refused: a graph of links that share folders grows exponentially.
  void Enter(const std::string& path, const struct stat& st, const std::string& name, bool linked) {
    auto seen = entered.emplace(std::make_pair(st.st_dev, st.st_ino), std::make_pair(name, linked));
    if (!seen.second && seen.first->second.first != name && (linked || seen.first->second.second))
      throw Failure("'" + path + "' leads to the folder already stored as '" + seen.first->second.first +
                    "' through symbolic links; name it once (or pack with --no-follow)");
  }

  void Add(const std::string& path, const std::vector<std::string>& components, bool linked = false) {
    if (Excluded(components)) return;
    if (!components.empty() && components.back().find('\\') != std::string::npos)
      throw Failure("'" + path + "': the name holds a backslash, which separates folders in "
                    "stored names");
    bool link = false;
    struct stat st = Examine(path, link);
    linked = linked || link;
    std::string name;
    for (const auto& component : components) name += (name.empty() ? "" : "\\") + component;
    if (S_ISREG(st.st_mode) || (link && unixEntries)) {
      if (components.empty()) throw Failure("'" + path + "' is a file; -C names a folder");
      if (unixEntries) CheckSpecialBits(path, st);
      files.push_back({name, components, path, static_cast<uint64_t>(st.st_size),
                       static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                       ModificationNs(st), static_cast<uint32_t>(st.st_mode), ""});
      if (link && unixEntries) TakeLinkTarget(files.back());
      return;
    }
    if (!S_ISDIR(st.st_mode))
      throw Failure("'" + path + "' is neither a regular file nor a folder");
    for (const auto& open : ancestors)
      if (open.first == st.st_dev && open.second == st.st_ino)
        throw Failure("'" + path + "' is a link back to a folder that holds it");
    Enter(path, st, name, linked);
    std::vector<std::string> entries = ReadFolder(path);
    if (entries.empty() && unixEntries && !components.empty()) {
      CheckSpecialBits(path, st);
      files.push_back({name, components, path, 0, static_cast<uint64_t>(st.st_dev),
                       static_cast<uint64_t>(st.st_ino), ModificationNs(st), static_cast<uint32_t>(st.st_mode), ""});
      return;
    }
    if (entries.empty())
      fprintf(stderr, "dolm: pack: the empty folder '%s' is not stored (%s)\n", Shown(path).c_str(),
              unixEntries ? "it has no name of its own" : "a classic archive holds files only");
    ancestors.emplace_back(st.st_dev, st.st_ino);
    for (const auto& entry : entries) {
      std::vector<std::string> child = components;
      child.push_back(entry);
      Add(JoinPath(path, entry), child, linked);
    }
    ancestors.pop_back();
  }

  // A setuid, setgid or sticky bit is stored only when asked for: the Linux
  // self-extractor often runs as root.
  void CheckSpecialBits(const std::string& path, const struct stat& st) const {
    if ((st.st_mode & 07000) == 0 || keepSpecialModes || S_ISLNK(st.st_mode)) return;
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw Failure("'" + path + "' has mode " + mode +
                  " (setuid, setgid or sticky); --keep-special-modes stores such bits");
  }

  // A link's target, which is its stored data: refused when it leads out of
  // the stored tree (a self-extractor would not make it) unless allowed.
  void TakeLinkTarget(InputFile& input) const {
    char target[kLinkTargetMax + 2];
    const ssize_t length = readlink(input.path.c_str(), target, sizeof target);
    if (length < 0) throw Failure("cannot read the symbolic link '" + input.path + "': " + Errno());
    if (length == 0 || static_cast<size_t>(length) > kLinkTargetMax)
      throw Failure("'" + input.path + "': a symbolic link's target must hold 1 to " +
                    std::to_string(kLinkTargetMax) + " bytes");
    input.linkTarget.assign(target, static_cast<size_t>(length));
    input.size = input.linkTarget.size();
    const auto* bytes = reinterpret_cast<const uint8_t*>(input.linkTarget.data());
    if (!allowUnsafeLinks &&
        !LinkTargetStaysInside(bytes, static_cast<uint32_t>(length), StoredFolderDepth(input.name.c_str())))
      throw Failure("'" + input.path + "' is a symbolic link to '" + Shown(input.linkTarget) +
                    "', outside the packed tree (absolute, or '..' above its root or after a name); "
                    "--allow-unsafe-links stores it (self-extractors refuse to make it)");
  }

  static std::vector<std::string> ReadFolder(const std::string& path) {
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) throw Failure("cannot read the folder '" + path + "': " + Errno());
    std::vector<std::string> entries;
    errno = 0;
    while (struct dirent* entry = readdir(folder)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        entries.emplace_back(entry->d_name);
      errno = 0;
    }
    int readError = errno;
    closedir(folder);
    if (readError != 0)
      throw Failure("cannot read the folder '" + path + "': " + std::strerror(readError));
    std::sort(entries.begin(), entries.end());
    return entries;
  }
};

// One name a line; blank lines are skipped, every other byte is kept.
std::vector<std::string> ReadNameList(const std::string& list) {
  FILE* file = list == "-" ? stdin : fopen(list.c_str(), "rb");
  if (file == nullptr) throw Failure("cannot read the list of inputs '" + list + "': " + Errno());
  std::string text;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  bool failed = ferror(file) != 0;
  if (file != stdin) fclose(file);
  if (failed) throw Failure("cannot read the list of inputs '" + list + "'");
  std::vector<std::string> names;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.find_first_not_of(" \t\r") != std::string::npos) names.push_back(line);
    start = end + 1;
  }
  return names;
}

}  // namespace

std::vector<InputFile> SelectInputs(const ParsedArgs& parsed, bool unixEntries) {
  Walker walker;
  walker.followLinks = !parsed.Has("--no-follow");
  walker.unixEntries = unixEntries;
  walker.allowUnsafeLinks = parsed.Has("--allow-unsafe-links");
  walker.keepSpecialModes = parsed.Has("--keep-special-modes");
  for (const auto& option : parsed.options)
    if (option.first == "--exclude") {
      std::string pattern = option.second;
      while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
      if (pattern.empty()) throw UsageError("--exclude needs a pattern");
      walker.excludes.push_back(pattern);
    }
  std::string folder;  // the -C folder in effect; "" until the first -C
  bool relative = false;
  // Named inputs are stored under their last component until a -C; names
  // read with -T are stored as given, relative to the -C folder in effect
  // (the current folder before the first -C), as file lists from find mean.
  auto addInput = [&](const std::string& input, bool listed) {
    if (input.empty()) throw Failure("an empty input name");
    std::string path = JoinPath(folder, input);
    const std::string base = relative ? "the -C folder '" + folder + "'" : "the current folder";
    walker.Add(path, relative || listed ? RelativeComponents(input, base, listed)
                                        : std::vector<std::string>{LastComponent(input, path)});
  };
  for (const auto& item : parsed.sequence) {
    if (item.first.empty()) {
      addInput(item.second, false);
    } else if (item.first == "--directory") {
      if (item.second.empty()) throw UsageError("-C needs a folder");
      // Like tar, a relative -C folder is taken from the one before it.
      folder = JoinPath(folder, item.second);
      relative = true;
      struct stat st;
      if (stat(folder.c_str(), &st) != 0) throw Failure("-C '" + folder + "': " + Errno());
      if (!S_ISDIR(st.st_mode)) throw Failure("-C '" + folder + "' is not a folder");
    } else if (item.first == "--files-from") {
      for (const auto& name : ReadNameList(item.second)) addInput(name, true);
    }
  }
  // One stable order whatever order the inputs came in; the same file reached
  // twice under the same name is stored once (under two names, twice).
  std::stable_sort(walker.files.begin(), walker.files.end(),
                   [](const InputFile& a, const InputFile& b) { return a.components < b.components; });
  auto same = [](const InputFile& a, const InputFile& b) {
    return a.name == b.name && a.device == b.device && a.inode == b.inode;
  };
  walker.files.erase(std::unique(walker.files.begin(), walker.files.end(), same), walker.files.end());
  return walker.files;
}

}  // namespace tool
