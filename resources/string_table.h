// The stub's string table for builds without Windows resources. The table is
// generated from the STRINGTABLE block of dolmsfx.rc by gen_strings.cmake, so
// both stubs show the same texts. Entry i holds string i; entries without a
// string (0 and the unused numbers) hold "".
#pragma once

#include "resources/resource.h"

constexpr unsigned kStringTableSize = IDS_LAST + 1;
extern const char* const kStringTable[kStringTableSize];
