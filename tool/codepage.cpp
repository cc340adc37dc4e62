// Conversions between Linux names (UTF-8) and stored names (a Windows code
// page) through iconv, with the checks that keep a converted name whole.
#include "tool/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <cstdio>

#include "format/stored_names.h"
#include "tool/display.h"
#include "tool/names.h"
#include "tool/util.h"

namespace tool {

namespace {

// The code pages dolm writes and reads, in the order a suggestion tries them:
// the single-byte pages first, so that a name with accents is offered one.
const int kCodePages[] = {1252, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258,
                          874,  932,  936,  949,  950,  kUtf8CodePage};

std::string IconvName(int codePage) {
  return codePage == kUtf8CodePage ? "UTF-8" : "CP" + std::to_string(codePage);
}

// Converts `in` with iconv. Returns true, or false with *badOffset the offset
// in `in` of the first byte that could not be converted.
bool Convert(int toPage, int fromPage, const std::string& in, std::string* out, size_t* badOffset) {
  iconv_t cd = iconv_open(IconvName(toPage).c_str(), IconvName(fromPage).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw Failure("the system's iconv has no converter for code page " +
                  std::to_string(toPage == kUtf8CodePage ? fromPage : toPage));
  std::string input = in;
  // One input byte gives at most 3 bytes of UTF-8 (or 4 with a shift state),
  // and one character of UTF-8 at most 2 bytes of a code page.
  std::string buffer(input.size() * 4 + 16, '\0');
  char* inPtr = &input[0];
  size_t inLeft = input.size();
  char* outPtr = &buffer[0];
  size_t outLeft = buffer.size();
  size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  if (done != static_cast<size_t>(-1)) done = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  iconv_close(cd);
  *badOffset = input.size() - inLeft;
  if (done == static_cast<size_t>(-1)) return false;
  out->assign(buffer, 0, static_cast<size_t>(outPtr - &buffer[0]));
  return true;
}

bool IsLeadByte(int codePage, unsigned char c) {
  if (codePage == 932) return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
  if (codePage == 936 || codePage == 949 || codePage == 950) return c >= 0x81 && c <= 0xFE;
  return false;
}

// Offset of the first 0x5C ('\') or 0x2F ('/') that is the second byte of a
// double-byte character, or npos. The stub splits folders at those bytes.
size_t SplitTrailByte(const std::string& bytes, int codePage) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (!IsLeadByte(codePage, static_cast<unsigned char>(bytes[i])) || i + 1 >= bytes.size()) continue;
    ++i;
    if (bytes[i] == '\\' || bytes[i] == '/') return i;
  }
  return std::string::npos;
}

std::string ByteText(const std::string& bytes, size_t at) {
  char text[8];
  snprintf(text, sizeof text, "0x%02X", static_cast<unsigned char>(bytes[at]));
  return text;
}

// EncodeName without the suggestion of another code page.
std::string EncodeIn(const std::string& utf8, int codePage, std::string* stored) {
  const std::string refused = "cannot be written in code page " + std::to_string(codePage);
  if (codePage == kUtf8CodePage) {
    *stored = utf8;
    return "";
  }
  size_t bad = 0;
  std::string back;
  // The way back must give the same name: iconv maps some characters to
  // others (U+00A5 YEN SIGN to 0x5C in 932), which would change the name.
  if (!Convert(codePage, kUtf8CodePage, utf8, stored, &bad) ||
      !Convert(kUtf8CodePage, codePage, *stored, &back, &bad) || back != utf8)
    return refused;
  size_t split = SplitTrailByte(*stored, codePage);
  if (split != std::string::npos) {
    std::string character;
    Convert(kUtf8CodePage, codePage, stored->substr(split - 1, 2), &character, &bad);
    return refused + ": its character " + character + " ends in the byte " + ByteText(*stored, split) +
           " ('" + (*stored)[split] + "'), where the extracting side splits folders";
  }
  return "";
}

// DecodeName in one code page; `base` is added to the offsets it reports.
std::string DecodeIn(const std::string& stored, int codePage, std::string* utf8, size_t base) {
  size_t bad = 0;
  auto at = [&](size_t offset) {
    return "the byte " + ByteText(stored, offset) + " at offset " + std::to_string(base + offset);
  };
  if (codePage == kUtf8CodePage) {
    // The stored-name rule for names recorded as UTF-8: strict, no guess.
    std::string buffer(stored.size() + 1, '\0');
    if (!StoredNameToUtf8(stored.data(), stored.size(), StoredNames::kUtf8, &buffer[0], buffer.size()))
      return at(FirstNonUtf8Byte(stored.data(), stored.size())) + " is not valid UTF-8 (code page 65001)";
    *utf8 = stored;
    return "";
  }
  size_t split = SplitTrailByte(stored, codePage);
  if (split != std::string::npos)
    return "in code page " + std::to_string(codePage) + " " + at(split) +
           " is the second byte of a character, and the self-extractor splits folders there";
  if (codePage == 1252) {
    // The stored-name rule's own table, which reads every byte.
    std::string buffer(stored.size() * 3 + 1, '\0');
    Cp1252ToUtf8(stored.data(), stored.size(), &buffer[0], buffer.size());
    utf8->assign(buffer.c_str());
    return "";
  }
  if (!Convert(kUtf8CodePage, codePage, stored, utf8, &bad))
    return at(bad) + " does not start a character of code page " + std::to_string(codePage) +
           " (--codepage chooses another)";
  return "";
}

}  // namespace

int ParseCodePage(const std::string& text) {
  for (int page : kCodePages)
    if (text == std::to_string(page)) return page;
  throw UsageError("unknown code page '" + Shown(text) +
                   "'; dolm knows 874, 932, 936, 949, 950, 1250 to 1258 and 65001 (UTF-8)");
}

std::string CodePageWords() {
  std::string words;
  for (int page : kCodePages) words += (words.empty() ? "" : " ") + std::to_string(page);
  return words;
}

std::string EncodeName(const std::string& utf8, int codePage, std::string* stored) {
  if (!IsStrictUtf8(utf8))
    return "is not valid UTF-8, so its characters are unknown; rename it";
  std::string reason = EncodeIn(utf8, codePage, stored);
  // Only a missing character is worth another code page; a split one is not.
  if (reason != "cannot be written in code page " + std::to_string(codePage)) return reason;
  std::string scratch;
  for (int page : kCodePages)
    if (page != kUtf8CodePage && EncodeIn(utf8, page, &scratch).empty())
      return reason + "; use --codepage " + std::to_string(page);
  return reason + "; no Windows code page holds all its characters (--codepage 65001 stores "
                  "UTF-8, which only the Linux stub and Windows set to UTF-8 read)";
}

std::string StoredForm(const std::string& utf8, int codePage, const std::string& what) {
  std::string stored;
  std::string reason = EncodeName(utf8, codePage, &stored);
  if (!reason.empty()) throw Failure(Shown(what) + " " + reason);
  return stored;
}

std::string DecodeName(const std::string& stored, int codePage, std::string* utf8) {
  if (codePage != kAutomaticCodePage) return DecodeIn(stored, codePage, utf8, 0);
  // Each part between separators on its own, by the rule the Linux stub
  // reads names with; it reads every byte.
  std::string buffer(stored.size() * 3 + 1, '\0');
  StoredNameToUtf8(stored.data(), stored.size(), &buffer[0], buffer.size());
  utf8->assign(buffer.c_str());
  return "";
}

namespace {

// A name as read in the code page; an unreadable name stands for itself.
std::string ReadForm(const ArchiveNames& names, size_t i) {
  std::string utf8;
  return DecodeName(names.storedAt(i), names.codePage, &utf8).empty() ? utf8 : names.storedAt(i);
}

bool ByIndex(const NameProblem& a, const NameProblem& b) { return a.index < b.index; }

bool HasProblem(const NameProblems& problems, uint32_t i) {
  return std::binary_search(problems.begin(), problems.end(), NameProblem{i, i, NameProblem::kUnsafe, false}, ByIndex);
}

}  // namespace

NameInArchive ArchiveNames::operator[](size_t i) const {
  NameInArchive name;
  name.stored = storedAt(i);
  name.readable = !std::binary_search(unreadable.begin(), unreadable.end(), static_cast<uint32_t>(i));
  if (!name.readable || !DecodeName(name.stored, codePage, &name.utf8).empty()) name.utf8 = name.stored;
  auto problem = std::lower_bound(problems.begin(), problems.end(),
                                  NameProblem{static_cast<uint32_t>(i), 0, NameProblem::kUnsafe, false}, ByIndex);
  if (problem == problems.end() || problem->index != i) return name;
  std::string ignored;
  if (problem->kind == NameProblem::kUnreadable) name.problem = DecodeName(name.stored, codePage, &ignored);
  else if (!problem->onceRead) name.problem = ProblemText(*problem, storedAt);
  else name.problem = "once read, " + ProblemText(*problem, [this](size_t k) { return ReadForm(*this, k); });
  return name;
}

ArchiveNames ReadStoredNames(size_t count, std::function<std::string(size_t)> storedAt, int codePage) {
  ArchiveNames names;
  names.count = count;
  names.codePage = codePage;
  names.storedAt = std::move(storedAt);
  names.problems = CheckStoredNames(count, names.storedAt);
  NameProblems more;
  bool changed = false;  // some name reads as other bytes than it is stored
  for (uint32_t i = 0; i < count; ++i) {
    std::string utf8;
    const std::string stored = names.storedAt(i);
    if (DecodeName(stored, codePage, &utf8).empty()) {
      changed = changed || utf8 != stored;
      continue;
    }
    names.unreadable.push_back(i);
    auto known = std::lower_bound(names.problems.begin(), names.problems.end(),
                                  NameProblem{i, i, NameProblem::kUnreadable, false}, ByIndex);
    if (known != names.problems.end() && known->index == i) known->kind = NameProblem::kUnreadable;
    else more.push_back({i, i, NameProblem::kUnreadable, false});
  }
  // Two stored spellings of one name (E9 and C3 A9 both read as U+00E9);
  // names that all read as they are stored need no second look.
  const NameProblems once =
      changed ? CheckStoredNames(count, [&names](size_t i) { return ReadForm(names, i); }) : NameProblems();
  for (NameProblem problem : once)
    if (!HasProblem(names.problems, problem.index) &&
        !std::binary_search(names.unreadable.begin(), names.unreadable.end(), problem.index)) {
      problem.onceRead = true;
      more.push_back(problem);
    }
  std::sort(more.begin(), more.end(), ByIndex);
  const size_t known = names.problems.size();
  names.problems.insert(names.problems.end(), more.begin(), more.end());
  std::inplace_merge(names.problems.begin(), names.problems.begin() + known, names.problems.end(), ByIndex);
  return names;
}

std::vector<NameInArchive> ReadStoredNames(const std::vector<std::string>& stored, int codePage) {
  ArchiveNames read = ReadStoredNames(stored.size(), [&stored](size_t i) { return stored[i]; }, codePage);
  std::vector<NameInArchive> names;
  for (size_t i = 0; i < read.size(); ++i) names.push_back(read[i]);
  return names;
}

int ReadingCodePage(const ParsedArgs& parsed) {
  return parsed.Has("--codepage") ? ParseCodePage(parsed.Value("--codepage")) : kAutomaticCodePage;
}

std::string ShownStored(const std::string& stored, int codePage) {
  std::string utf8;
  return Shown(DecodeName(stored, codePage, &utf8).empty() ? utf8 : stored);
}

namespace {

std::string JsonMembers(const std::string& key, const std::string& bytesKey, const std::string& stored,
                        const std::string& text) {
  std::string out = JsonString(key) + ": " + JsonString(text);
  if (text != stored || !IsPrintable(text))
    out += ", " + JsonString(bytesKey) + ": " + JsonString(HexText(stored));
  return out;
}

}  // namespace

std::string JsonStored(const char* key, const std::string& stored, int codePage) {
  std::string utf8;
  if (!DecodeName(stored, codePage, &utf8).empty()) utf8 = stored;
  return JsonMembers(key, std::string(key) + "Bytes", stored, utf8);
}

std::string JsonName(const NameInArchive& name) {
  return JsonMembers("name", "storedBytes", name.stored, name.utf8);
}

}  // namespace tool
