#!/usr/bin/env bash
# The folder text as the user gave it: a relative folder stays relative on the
# launched program's command line and in the program test; folders are made
# at backslashes only; a trailing slash gets a backslash behind it; a
# drive-relative folder lies on its drive's own current folder, where the
# clean-up finds it.
source "$(dirname "$0")/lib.sh"
use_echoargs
printf 'data\r\n' >"$WORK/a.txt"

report_field() {
  sed -n "s/^$1=//p" "$report" | tr -d '\r'
}

# pack <out> <word> <exec> <stored=host...>
pack() {
  local out=$1 word=$2 exec=$3
  shift 3
  "$mkarchive" --stub "$stub" --out "$out" --word "$word" --exec "$exec" --args '/q' "$@" ||
    { fail "mkarchive $out"; finish; }
}

# A relative folder: the command line names the program below it as given;
# the stub may be started from another folder.
pack "$WORK/pack.exe" 0x11 echoargs.exe "echoargs.exe=$echoargs" "a.txt=$WORK/a.txt"
mkdir -p "$WORK/elsewhere"
while IFS='|' read -r label from stubpath; do
  rm -f "$report"
  (cd "$WORK/$from" && "$WINE" "$stubpath" -s wo >"$WORK/run.out" 2>&1)
  expect_eq "$label: command line" "$(report_field cmdline)" '"wo\echoargs.exe" /q '
done <<'CASES'
relative folder|.|pack.exe
relative folder, stub elsewhere|elsewhere|../pack.exe
CASES

# A document below a relative folder, in a current folder whose name holds
# ".exe": still a document (the association box), not a program.
mkdir -p "$WORK/my.exe.d"
pack "$WORK/my.exe.d/doc.exe" 0x11 notes.xyz "notes.xyz=$WORK/a.txt"
(cd "$WORK/my.exe.d" && "$WINE" doc.exe -s wo >"$WORK/doc.out" 2>&1) &
WIN_PID=$!
expect_box "document in a .exe folder" " DOLM Self Extractor Error " \
  "No application is associated with the specified file."
probe click 1 >/dev/null 2>&1 || probe close >/dev/null 2>&1
expect_exit "document in a .exe folder" 0 30

# A slash in a stored name makes no folder (IgnoreErrors: the file is passed
# over); a trailing slash on the folder gets a backslash behind it.
mkdir -p "$WORK/flat"
pack "$WORK/slash.exe" 0x411 echoargs.exe "echoargs.exe=$echoargs" "sub/x.txt=$WORK/a.txt"
start_win "$WORK/slash.exe" -s "$(win_path "$WORK/flat")"
expect_exit "stored sub/x.txt" 0 60
expect_eq "stored sub/x.txt: no folder sub" "$(test -e "$WORK/flat/sub" && echo made || echo none)" none
rm -f "$report"
slashed=$(win_path "$WORK/wo2")
slashed=${slashed//\\//}/
start_win "$WORK/pack.exe" -s "$slashed"
expect_exit "folder ending in /" 0 60
expect_eq "folder ending in /: command line" "$(report_field cmdline)" "\"${slashed//\//\\}\\echoargs.exe\" /q "

# A drive-relative folder: written below drive C's current folder (its root),
# the program started there, and everything removed by -d.
drive_c="$WINEPREFIX/drive_c"
rm -rf "$drive_c/dolm-drel" "$report"
(cd "$WORK" && "$WINE" pack.exe -s -d C:dolm-drel >"$WORK/drel.out" 2>&1)
expect_eq "C:dolm-drel: command line" "$(report_field cmdline)" '"C:dolm-drel\echoargs.exe" /q '
expect_eq "C:dolm-drel: nothing of the run is left" "$(find "$drive_c/dolm-drel" -type f 2>/dev/null | wc -l)" 0
rm -rf "$drive_c/dolm-drel"

finish
