#!/usr/bin/env bash
# Whole extraction by the Windows stub under Wine: archives made by `dolm pack`
# for several size profiles, extracted into a folder and compared byte for
# byte with their originals, with stored times and the read-only attribute,
# with recreated and with flat folders; and a damaged data block.
source "$(dirname "$0")/lib.sh"
dolm="$BUILD/dolm"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
require_file "$dolm" "the dolm tool is not built"

# Inputs: text, noise larger than a 32K window, a file of exactly 32,768
# bytes (it ends at a window boundary), an empty file, a read-only file in a
# sub-folder, all with fixed times.
src="$WORK/src/payload"
mkdir -p "$src/sub/deeper"
head -c 100000 /dev/urandom >"$src/noise.bin"
seq 1 20000 | sed 's/$/ setup line/' >"$src/text.txt"
head -c 32768 "$src/text.txt" >"$src/sub/window.txt"
: >"$src/sub/empty.dat"
printf 'read only\r\n' >"$src/sub/deeper/ro.txt"
touch -d '2001-02-03 04:05:06 UTC' "$src"/noise.bin "$src"/text.txt "$src"/sub/window.txt \
  "$src"/sub/empty.dat "$src"/sub/deeper/ro.txt
chmod 0444 "$src/sub/deeper/ro.txt"
files="noise.bin text.txt sub/window.txt sub/empty.dat sub/deeper/ro.txt"

# extract_case <label> <window> <layout: tree|flat> [pack options...]
extract_case() {
  local label=$1 window=$2 layout=$3
  shift 3
  local out="$WORK/out-$label"
  mkdir -p "$out"
  if ! "$dolm" pack -o "$WORK/$label.exe" --stub "$stub" --window "$window" --silent "$@" "$src" \
    >"$WORK/pack.log" 2>&1; then
    fail "$label: dolm pack: $(cat "$WORK/pack.log")"
    return
  fi
  start_win "$WORK/$label.exe" "$(win_path "$out")"
  expect_exit "$label" 0 120
  local f target same=yes times=yes
  for f in $files; do
    if [ "$layout" = tree ]; then target="$out/payload/$f"; else target="$out/$(basename "$f")"; fi
    cmp -s "$src/$f" "$target" || { same=no; echo "  differs: $f"; }
    [ "$(stat -c %Y "$target" 2>/dev/null)" = "$(stat -c %Y "$src/$f")" ] || times=no
  done
  expect_eq "$label: every file byte for byte" "$same" yes
  expect_eq "$label: stored times applied" "$times" yes
  if [ "$layout" = tree ]; then target="$out/payload/sub/deeper/ro.txt"; else target="$out/ro.txt"; fi
  # Wine keeps the read-only attribute as missing write permission bits (root
  # could write anyway, so the bits are read, not tried).
  expect_eq "$label: read-only file has no write permission" \
    "$(( 0$(stat -c %a "$target") & 0222 ))" 0
}

extract_case p0 32K tree
extract_case p1 64K flat --flat
extract_case p6 2048K tree --level 9
extract_case p8 8192K tree --level 1

# A flipped byte inside the data blocks of an archive without the settings
# record: error 2 naming the archive, exit 0 (test_record.sh has the record's).
"$dolm" pack -o "$WORK/damaged.exe" --stub "$stub" --window 32K --silent --classic "$src" >/dev/null 2>&1
size=$(stat -c %s "$WORK/damaged.exe")
pos=$((size - 2000))
byte=$(od -An -tu1 -j "$pos" -N1 "$WORK/damaged.exe" | tr -d ' ')
printf "$(printf '\\%03o' $(((byte ^ 0x10) & 0xFF)))" |
  dd of="$WORK/damaged.exe" bs=1 seek="$pos" conv=notrunc 2>/dev/null
mkdir -p "$WORK/out-damaged"
start_win "$WORK/damaged.exe" "$(win_path "$WORK/out-damaged")"
expect_box "damaged block" " DOLM Self Extractor Error " \
  "Error #2"$'\n'"Archive '$(win_path "$WORK/damaged.exe")' is damaged"
probe click 1 >/dev/null 2>&1 || probe close >/dev/null 2>&1
expect_exit "damaged block" 0 30
expect_eq "damaged block: first file complete" \
  "$(cmp -s "$src/noise.bin" "$WORK/out-damaged/payload/noise.bin" && echo same)" same

finish
