// Stored names are 8-bit text in the Windows code page of the machine that
// made the archive; Linux names are UTF-8. These procedures convert between
// the two with the system's iconv, for every command that reads or writes
// stored names.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tool/names.h"

namespace tool {

// Reading without --codepage: each part of a name between separators that is
// valid UTF-8 stays as it is (names written by UTF-8 tools, earlier versions
// of dolm among them), any other part is read as code page 1252.
constexpr int kAutomaticCodePage = 0;
// What `dolm pack` writes without --codepage: the ANSI code page of a Western
// Windows, and of Wine in its default locale.
constexpr int kDefaultPackCodePage = 1252;
// 65001 (UTF-8) is accepted: it stores the Linux names unchanged, which the
// Linux stub and a Windows set to UTF-8 as its ANSI code page read right, and
// which is how earlier versions of dolm wrote every name.
constexpr int kUtf8CodePage = 65001;

// The value of --codepage: 874, 932, 936, 949, 950, 1250..1258 or 65001.
// Anything else is a UsageError naming what is known.
int ParseCodePage(const std::string& text);
// Those numbers, separated by blanks (what the shell completion offers).
std::string CodePageWords();

// Converts a Linux name (UTF-8) to the bytes stored for code page `codePage`.
// Returns "" with *stored set, or why the name cannot be stored, worded to
// follow the name: "cannot be written in code page 1252; use --codepage 932".
// Refused: names that are not UTF-8, characters the code page lacks or maps
// to another one, and in 932, 936, 949 and 950 a 0x5C or 0x2F byte as the
// second byte of a character, where the extracting side splits folders.
std::string EncodeName(const std::string& utf8, int codePage, std::string* stored);

// EncodeName for a command: the stored bytes, or a Failure that names
// `what` ("'docs/日本.txt' cannot be written in code page 1252; ...").
std::string StoredForm(const std::string& utf8, int codePage, const std::string& what);

// Converts stored bytes read in `codePage` (or kAutomaticCodePage) to UTF-8.
// Returns "" with *utf8 set, or why they cannot be read (the bytes and their
// offset), worded as a sentence on its own.
std::string DecodeName(const std::string& stored, int codePage, std::string* utf8);

// One stored name as every command shows and uses it.
struct NameInArchive {
  std::string stored;   // the bytes in the archive
  std::string utf8;     // read in the code page; the stored bytes when unreadable
  std::string problem;  // why it is unreadable or unsafe to extract, "" when fine
  bool readable;        // utf8 is the name read in the code page
};
// The stored names of an archive as the commands read them: each name is
// read in the code page when it is asked for, and only the names with a
// problem are kept (unreadable, unsafe on the extracting side, or landing
// on one file with another once read), so that a list of a million names
// costs a few bytes per name.
struct ArchiveNames {
  size_t count = 0;
  int codePage = 0;
  std::function<std::string(size_t)> storedAt;  // the bytes of name i
  NameProblems problems;                        // by index, one for each name at most
  std::vector<uint32_t> unreadable;             // in order
  size_t size() const { return count; }
  NameInArchive operator[](size_t i) const;
};
ArchiveNames ReadStoredNames(size_t count, std::function<std::string(size_t)> storedAt, int codePage);
// The same for names in memory (the packer's and the fuzz targets' use).
std::vector<NameInArchive> ReadStoredNames(const std::vector<std::string>& stored, int codePage);

struct ParsedArgs;
// The --codepage of list, test, extract: kAutomaticCodePage when not given.
int ReadingCodePage(const ParsedArgs& parsed);

// Text of the archive's own (a name, the execute file, its arguments, the
// folder) read in the code page: for a terminal (tool/display.h: Shown), and
// as JSON members, `"key": "text"` and, when the text is not the stored bytes
// as they stand or is not printable, `, "keyBytes": "93 FA ..."` beside it.
// Unreadable text is shown by its bytes.
std::string ShownStored(const std::string& stored, int codePage);
std::string JsonStored(const char* key, const std::string& stored, int codePage);
std::string JsonName(const NameInArchive& name);  // "name" and "storedBytes"

}  // namespace tool
