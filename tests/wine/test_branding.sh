#!/usr/bin/env bash
# A branded self-extractor (icon, version information, manifest) under
# Wine: the options report is exact, the archive extracts byte for byte, and
# the string table and dialog 103 are the plain stub's, as wrestool and
# LoadStringA read them.
source "$(dirname "$0")/lib.sh"
dolm="$BUILD/dolm"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
require_file "$dolm" "the dolm tool is not built"
command -v wrestool >/dev/null || skip "wrestool (icoutils) is not installed"

src="$WORK/src/payload"
mkdir -p "$src/sub"
head -c 70000 /dev/urandom >"$src/noise.bin"
seq 1 5000 >"$src/sub/numbers.txt"
# The execute file: a program that ends at once (the probe with no command).
cp "$WINTOOLS/echoargs.exe" "$WORK/src/setup.exe"
exe="$WORK/branded.exe"
if ! "$dolm" pack -o "$exe" --stub "$stub" --silent --exec setup.exe --temp 'C:\Out' \
  --icon "$SOURCE/resources/dolm.ico" --version-info ProductName="Acme Tools" \
  --version-info FileVersion=2.4.1.0 --execution-level asInvoker "$src" "$WORK/src/setup.exe" >"$WORK/pack.log" 2>&1; then
  fail "dolm pack: $(cat "$WORK/pack.log")"
  finish
fi

start_win "$exe" -a
expect_box "options report" "About Ostrel Self-Extractor File" \
  "$(printf 'OverWriteExistingFiles = 0\nKeepOriginalFileAttrib  = 1\nPromptUserForOptions = 0\nRecreateOriginalFolders = 1\nDeleteSFXwhenDone = 0\nSilentExtraction = 1\nTemporary Directory  = C:\\Out\nExecute file = setup.exe')"
probe click 1 >/dev/null
expect_exit "options report" 0

mkdir -p "$WORK/out"
start_win "$exe" -o "$(win_path "$WORK/out")"
expect_exit "extraction" 0 120
same=yes
for f in noise.bin sub/numbers.txt; do cmp -s "$src/$f" "$WORK/out/payload/$f" || same=no; done
expect_eq "every file byte for byte" "$same" yes

for res in "--type=6 --name=1" "--type=6 --name=2" "--type=6 --name=3" "--type=5 --name=103"; do
  # shellcheck disable=SC2086
  expect_eq "wrestool $res unchanged" "$(wrestool -x --raw $res "$exe" | md5sum)" \
    "$(wrestool -x --raw $res "$stub" | md5sum)$([ "$(wrestool -x --raw $res "$stub" | wc -c)" -gt 0 ] || echo ' (empty)')"
done
probe strings "$exe" >"$WORK/branded.txt" 2>&1
probe strings "$stub" >"$WORK/plain.txt" 2>&1
last=$(sed -n 's/^#define IDS_LAST \([0-9]*\).*/\1/p' "$SOURCE/resources/resource.h")
expect_eq "LoadStringA reads the same $last strings" \
  "$(cmp -s "$WORK/branded.txt" "$WORK/plain.txt" && wc -l <"$WORK/branded.txt")" "$last"
finish
