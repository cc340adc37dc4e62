#!/usr/bin/env bash
# The windows of an archive with the extension record, found and answered
# through wineprobe: the licence (declined, accepted, /accept, silent), the
# "Extract to" window (a folder typed in, Cancel) and the progress window
# (the file and percent shown during the overwrite question, Cancel).
source "$(dirname "$0")/lib.sh"
dolm="$BUILD/dolm"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
require_file "$dolm" "the dolm tool is not built"
title="Acme Setup"
mkdir -p "$WORK/src/payload"
head -c 300 /dev/urandom >"$WORK/src/payload/a.bin"
head -c 100 /dev/urandom >"$WORK/src/payload/b.bin"
printf 'Acme licence\nLine two\n' >"$WORK/licence.txt"

# pack <out> [dolm pack options...]: the payload with the title.
pack() {
  local out=$1
  shift
  "$dolm" pack -o "$out" --stub "$stub" --title "$title" "$@" "$WORK/src/payload" >"$WORK/pack.log" 2>&1 ||
    { fail "dolm pack $*: $(cat "$WORK/pack.log")"; finish; }
}
pack "$WORK/licence.exe" --prompt --confirm "$WORK/licence.txt"
pack "$WORK/plain.exe" --prompt --temp 'C:\acme'

# written <folder>: the files a run left in it.
written() {
  (cd "$1" 2>/dev/null && find . -type f | sort | tr '\n' ' ')
}

# The licence: its text as the window shows it, and each answer.
while IFS='|' read -r label args action code files; do
  rm -rf "$WORK/out"
  mkdir -p "$WORK/out"
  # shellcheck disable=SC2086
  start_win "$WORK/licence.exe" $args "$(win_path "$WORK/out")"
  if [ "$action" = none ]; then
    expect_no_dialog "$label: no window"
  elif probe -c "$title" dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"; then
    expect_eq "$label: licence text" "$(dialog_control 1100)" 'Acme licence\r\nLine two\r\n'
    probe -c "$title" click "$action" >/dev/null
  else
    fail "$label: no licence window"
  fi
  expect_exit "$label" "$code"
  expect_eq "$label: files written" "$(written "$WORK/out")" "$files"
done <<'CASES'
declined||2|1|
accepted||1|0|./payload/a.bin ./payload/b.bin 
silent without /accept|-s|none|1|
silent with /accept|-s /accept|none|0|./payload/a.bin ./payload/b.bin 
CASES

# "Extract to": the stored folder in the field; a folder typed in is used.
rm -rf "$WORK/chosen"
start_win "$WORK/plain.exe"
if probe -c "$title" dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"; then
  expect_eq "Extract to: the stored folder" "$(dialog_control 1111)" 'C:\\acme'
  probe -c "$title" settext 1111 "$(win_path "$WORK/chosen")" >/dev/null
  probe -c "$title" click 1 >/dev/null
else
  fail "no Extract to window"
fi
expect_exit "Extract to" 0
expect_eq "Extract to: files in the folder typed in" "$(written "$WORK/chosen")" "./payload/a.bin ./payload/b.bin "
# Browse opens the shell's folder browser (Wine's caption) under the label;
# its Cancel leaves the field as it was; then Cancel ends the run.
start_win "$WORK/plain.exe"
probe -c "$title" dump >/dev/null 2>&1 || fail "Extract to: no window to browse from"
probe -c "$title" click 1112 >/dev/null &
browse=$!
if probe -c "Browse for Folder" dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"; then
  expect_eq "Browse: the label as its title" "$(dialog_controls | grep -c '^[0-9]* Static Extract the files to this folder:$')" 1
  probe -c "Browse for Folder" click 2 >/dev/null
  wait "$browse"
  probe -c "$title" dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"
  expect_eq "Browse cancelled: the field as it was" "$(dialog_control 1111)" 'C:\\acme'
else
  fail "Browse: no folder browser"
fi
probe -c "$title" click 2 >/dev/null || fail "Extract to: no window to cancel"
expect_exit "Extract to cancelled" 1
expect_eq "Extract to cancelled: the stored folder not made" "$([ -e "$WINEPREFIX/drive_c/acme" ] && echo made)" ""

# Progress: b.bin exists, so the overwrite question stops the run with the
# window showing b.bin at 75 % (300 of 400 bytes); Cancel there, then No,
# removes what the run wrote and keeps b.bin as it was.
rm -rf "$WORK/out"
mkdir -p "$WORK/out/payload"
echo keep >"$WORK/out/payload/b.bin"
start_win "$WORK/plain.exe" "$(win_path "$WORK/out")"
if probe -c "Overwrite file" dump >/dev/null 2>&1 && probe -c "$title" dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"; then
  expect_eq "progress: the file" "$(dialog_control 1120)" 'payload\\b.bin'
  expect_eq "progress: the percent" "$(dialog_control 1122)" "75% extracted"
  probe -c "$title" click 2 >/dev/null
  probe -c "Overwrite file" click 1019 >/dev/null
else
  fail "progress: no window beside the overwrite question"
fi
expect_exit "progress cancelled" 1
expect_eq "progress cancelled: only the file that was there" "$(written "$WORK/out")" "./payload/b.bin "
expect_eq "progress cancelled: that file unchanged" "$(cat "$WORK/out/payload/b.bin")" keep
finish
