#!/usr/bin/env bash
# Names in three scripts in one archive: with the settings record `dolm pack`
# stores them as UTF-8, and the Windows stub creates each under its own name
# through the wide functions. The test build of the stub, told to take the
# path of Windows 95/98 (DOLM_ANSI_NAMES=1), converts names to the ANSI code
# page (1252 in Wine's default locale): it creates those the code page holds
# and refuses the others by name, before anything is written.
source "$(dirname "$0")/lib.sh"
dolm="$BUILD/dolm"
hooks="$WINTOOLS/dolmsfx-hooks.exe"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
require_file "$dolm" "the dolm tool is not built"
require_file "$hooks" "the test build of the $STUB_ARCH stub is not built"

names=("café.txt" "日本語.txt" "Ωmega.txt")
mkdir -p "$WORK/src" "$WORK/all" "$WORK/ansi" "$WORK/cafe"
for name in "${names[@]}"; do printf '%s\n' "$name" >"$WORK/src/$name"; done

# pack <output> <stub> <input>...: a silent self-extractor with the record.
pack() {
  "$dolm" pack -o "$1" --stub "$2" --silent -C "$WORK/src" "${@:3}" >"$WORK/pack.log" 2>&1 ||
    fail "dolm pack $1: $(cat "$WORK/pack.log")"
}

pack "$WORK/names.exe" "$stub" .
start_win "$WORK/names.exe" "$(win_path "$WORK/all")"
expect_exit "extraction" 0 120
expect_eq "all three names" "$(cd "$WORK/all" && ls | LC_ALL=C sort)" "$(printf '%s\n' "${names[@]}" | LC_ALL=C sort)"
for name in "${names[@]}"; do
  expect_eq "$name: its own text" "$(cat "$WORK/all/$name" 2>/dev/null)" "$name"
done

# The overwrite question shows the name in its own script (read wide).
mkdir -p "$WORK/again"
echo old >"$WORK/again/日本語.txt"
"$dolm" pack -o "$WORK/ask.exe" --stub "$stub" -C "$WORK/src" "日本語.txt" >"$WORK/pack.log" 2>&1 ||
  fail "dolm pack: $(cat "$WORK/pack.log")"
start_win "$WORK/ask.exe" "$(win_path "$WORK/again")"
if probe -c "Overwrite file" dumpw >"$WORK/dialog.txt" 2>"$WORK/probe.err"; then
  expect_eq "the overwrite question names 日本語.txt" "$(dialog_control 1020 | grep -o '日本語.txt')" "日本語.txt"
  probe -c "Overwrite file" click 1018 >/dev/null
else
  fail "no overwrite question: $(cat "$WORK/probe.err")"
fi
expect_exit "overwritten" 0 120
expect_eq "日本語.txt overwritten" "$(cat "$WORK/again/日本語.txt")" "日本語.txt"

# The path of Windows 95/98: names the code page lacks are refused together.
pack "$WORK/ansi.exe" "$hooks" .
export DOLM_ANSI_NAMES=1
start_win "$WORK/ansi.exe" /log "$(win_path "$WORK/ansi.log")" "$(win_path "$WORK/ansi")"
expect_exit "refused on the path of Windows 95/98" 4 120
log=$(cat "$WORK/ansi.log" 2>/dev/null)
expect_eq "the refusal" "$(grep -o 'cannot be created on this Windows' <<<"$log" | head -1)" \
  "cannot be created on this Windows"
for name in "日本語.txt" "Ωmega.txt"; do
  expect_eq "the refusal names $name" "$(grep -q "$name" <<<"$log" && echo named)" "named"
done
expect_eq "café.txt is not among them" "$(grep -q "café" <<<"$log" && echo named)" ""
expect_eq "nothing was written" "$(ls -A "$WORK/ansi")" ""
# Its box shows each character the code page lacks by its number.
"$dolm" pack -o "$WORK/box.exe" --stub "$hooks" -C "$WORK/src" . >"$WORK/pack.log" 2>&1 ||
  fail "dolm pack: $(cat "$WORK/pack.log")"
start_win "$WORK/box.exe" "$(win_path "$WORK/ansi")"
if probe -c " DOLM Self Extractor Error " dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"; then
  expect_eq "the box names them readably" "$(dialog_control 65535 | grep -o '\\\\u03A9mega.txt\\n\\\\u65E5\\\\u672C\\\\u8A9E.txt')" \
    '\\u03A9mega.txt\n\\u65E5\\u672C\\u8A9E.txt'
  probe -c " DOLM Self Extractor Error " click 1 >/dev/null
else
  fail "no box for the refused names: $(cat "$WORK/probe.err")"
fi
expect_exit "refused with a box" 4 120

# A name the code page holds is created under its own name on that path.
pack "$WORK/cafe.exe" "$hooks" "café.txt"
start_win "$WORK/cafe.exe" "$(win_path "$WORK/cafe")"
expect_exit "café.txt on the path of Windows 95/98" 0 120
expect_eq "café.txt with its text" "$(cat "$WORK/cafe/café.txt" 2>/dev/null)" "café.txt"
unset DOLM_ANSI_NAMES

# An execute file in a folder of another script starts through the wide
# functions (echoargs reads its command line in the ANSI code page, so only
# its form is checked), and -d removes what the run wrote.
use_echoargs
mkdir -p "$WORK/app/日本" "$WORK/run"
cp "$echoargs" "$WORK/app/日本/起動.exe"
pack "$WORK/launch.exe" "$stub" --delete-when-done --exec "日本/起動.exe" --args x -C "$WORK/app" .
start_win "$WORK/launch.exe" "$(win_path "$WORK/run")"
expect_exit "the execute file" 0 120
expect_eq "started with its arguments" "$(tr -d '\r' <"$report" 2>/dev/null | sed -n 's/^cmdline=".*\.exe" x $/started/p')" \
  "started"
expect_eq "removed when done" "$(ls -A "$WORK/run")" ""
finish
