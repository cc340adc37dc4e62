#!/usr/bin/env bash
# Names beyond ASCII: `dolm pack --classic` stores them in code page 1252, and the
# Windows stub under Wine (ANSI code page 1252 in the default locale) creates
# exactly the UTF-8 names of the originals on the Linux side.
source "$(dirname "$0")/lib.sh"
dolm="$BUILD/dolm"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
require_file "$dolm" "the dolm tool is not built"

names=("résumé.txt" "Ærø.txt" "naïve café.txt")
mkdir -p "$WORK/src/docs" "$WORK/out"
for name in "${names[@]}"; do printf '%s\n' "$name" >"$WORK/src/docs/$name"; done
if ! "$dolm" pack -o "$WORK/names.exe" --stub "$stub" --classic --silent "$WORK/src/docs" >"$WORK/pack.log" 2>&1; then
  fail "dolm pack: $(cat "$WORK/pack.log")"
  finish
fi
expect_eq "stored in code page 1252" \
  "$("$dolm" list --json "$WORK/names.exe" | grep -o '"storedBytes": "[^"]*"')" \
  '"storedBytes": "64 6F 63 73 5C 6E 61 EF 76 65 20 63 61 66 E9 2E 74 78 74"
"storedBytes": "64 6F 63 73 5C 72 E9 73 75 6D E9 2E 74 78 74"
"storedBytes": "64 6F 63 73 5C C6 72 F8 2E 74 78 74"'
expect_eq "dolm list shows them" \
  "$("$dolm" list "$WORK/names.exe" | sed -n 's/.*---A  //p')" \
  "$(printf 'docs\\%s\n' "${names[@]}" | LC_ALL=C sort)"
start_win "$WORK/names.exe" "$(win_path "$WORK/out")"
expect_exit "extraction" 0 120
expect_eq "exactly the three UTF-8 names" "$(cd "$WORK/out/docs" && ls | LC_ALL=C sort)" \
  "$(printf '%s\n' "${names[@]}" | LC_ALL=C sort)"
for name in "${names[@]}"; do
  expect_eq "$name: its own text" "$(cat "$WORK/out/docs/$name" 2>/dev/null)" "$name"
done
finish
