#!/usr/bin/env bash
# The string table that windres compiles into the Windows stub and the one
# that gen_strings.cmake generates for the Linux stub hold the same texts:
# every entry 1..IDS_LAST, as LoadStringA returns it from the stub's resources.
source "$(dirname "$0")/lib.sh"
generated="$BUILD/generated/string_table.cpp"
require_file "$generated" "the generated string table is not built"
[ -e "$stub" ] || stub="$WINTOOLS/overwrite-dialog.exe"  # same resources
require_file "$stub" "no Windows program with the stub's resources is built"

probe strings "$stub" >"$WORK/windows.txt" || fail "wineprobe cannot read $stub"
# "  /* 12 */ "text"," becomes "12: text", in the escaped form wineprobe prints.
sed -n 's|^  /\* \([0-9]*\) \*/ "\(.*\)",$|\1: \2|p' "$generated" | sed '/^0: /d' >"$WORK/posix.txt"

last=$(sed -n 's/^#define IDS_LAST \([0-9]*\).*/\1/p' "$SOURCE/resources/resource.h")
expect_eq "$last entries generated" "$(wc -l <"$WORK/posix.txt")" "$last"
while IFS= read -r line; do
  id=${line%%:*}
  expect_eq "string $id" "$(grep "^$id: " "$WORK/windows.txt")" "$line"
done <"$WORK/posix.txt"
finish
