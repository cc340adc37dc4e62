#!/usr/bin/env bash
# An archive with Unix entries (dolm pack's default) on Windows: its files are
# extracted and its empty folder made; its symbolic link is passed over with
# one message after the extraction (none in a silent run), and the run ends
# as a good one.
source "$(dirname "$0")/lib.sh"
dolm="$BUILD/dolm"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
require_file "$dolm" "the dolm tool is not built"
mkdir -p "$WORK/src/payload/empty"
printf 'data\r\n' >"$WORK/src/payload/a.txt"
ln -s a.txt "$WORK/src/payload/lnk"
"$dolm" pack -o "$WORK/unix.exe" --stub "$stub" "$WORK/src/payload" >"$WORK/pack.log" 2>&1 ||
  { fail "dolm pack: $(cat "$WORK/pack.log")"; finish; }

# entries <folder>: everything a run left in it, links included.
entries() {
  (cd "$1" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' ')
}

set -f
while IFS='|' read -r label args message; do
  rm -rf "$WORK/out"
  mkdir -p "$WORK/out"
  out=$(win_path "$WORK/out")
  # shellcheck disable=SC2086
  start_win "$WORK/unix.exe" $args "$out"
  if [ "$message" = none ]; then
    expect_no_dialog "$label: no message"
  elif probe -c "Symbolic links" dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"; then
    expect_eq "$label: the message" "$(dialog_control 65535)" \
      "$(probe_escape "1 symbolic link(s) of this archive were not created: links are passed over on Windows. The first:
$out\\payload\\lnk")"
    probe -c "Symbolic links" click 1 >/dev/null
  else
    fail "$label: no message about the link ($(cat "$WORK/probe.err"))"
  fi
  expect_exit "$label" 0
  expect_eq "$label: the file and the empty folder, no link" "$(entries "$WORK/out")" \
    "./payload ./payload/a.txt ./payload/empty "
  expect_eq "$label: the file's bytes" "$(cat "$WORK/out/payload/a.txt" 2>&1)" $'data\r'
done <<'CASES'
shown||yes
silent|/s|none
CASES
finish
