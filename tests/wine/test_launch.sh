#!/usr/bin/env bash
# Launch and clean-up of the Windows stub: the exact command line that the
# execute file receives (GetCommandLineA of echoargs.exe), the folder it starts
# in, and the removal with -d, which takes this run's files and folders and
# leaves every entry that was in the temporary folder before.
source "$(dirname "$0")/lib.sh"
use_echoargs
printf 'first\r\n' >"$WORK/a.txt"
printf 'read only\r\n' >"$WORK/ro.txt"
chmod 0444 "$WORK/ro.txt"

# report_field <name>: one line of echoargs' report, without the line end.
report_field() {
  sed -n "s/^$1=//p" "$report" | tr -d '\r'
}

# run_case <label> <temp folder> <word> <exec> <args> <stored exec name> [stub args...]
# Packs echoargs.exe under <stored exec name> with two documents and runs the
# stub with the temporary folder as its last argument. A stub that cannot
# carry an archive ends the test at once.
run_case() {
  local label=$1 temp=$2 word=$3 exec=$4 args=$5 stored=$6
  shift 6
  rm -f "$report"
  "$mkarchive" --stub "$stub" --out "$WORK/pack.exe" --word "$word" --exec "$exec" --args "$args" \
    "$stored=$echoargs" 'docs\a.txt='"$WORK/a.txt" 'docs\ro.txt='"$WORK/ro.txt" ||
    { fail "$label: mkarchive"; finish; }
  start_win "$WORK/pack.exe" "$@" "$(win_path "$temp")"
  expect_exit "$label" 0 60
}

# Command lines: program path quoted, arguments, one trailing blank.
mkdir -p "$WORK/out"
out=$(win_path "$WORK/out")
while IFS='|' read -r label word exec args stored expected; do
  run_case "$label" "$WORK/out" "$word" "$exec" "$args" "$stored" -s
  expect_eq "$label: command line" "$(report_field cmdline)" "${expected//@/"$out"}"
  expect_eq "$label: started in the temporary folder" "$(report_field cwd)" "$out"
done <<'CASES'
arguments|0x11|setup.exe|/q|setup.exe|"@\setup.exe" /q 
no arguments|0x11|setup.exe||setup.exe|"@\setup.exe"  
upper-case name|0x11|SETUP.EXE|-x|SETUP.EXE|"@\SETUP.EXE" -x 
.exe inside a folder name|0x11|my.exe.d\tool|a|my.exe.d\tool|"@\my.exe.d\tool" a 
flat extraction|0x01|tools/setup.exe|/q|tools\setup.exe|"@\setup.exe" /q 
recreated folders|0x11|tools/setup.exe|/q|tools\setup.exe|"@\tools\setup.exe" /q 
CASES

# A temporary folder with blanks.
mkdir -p "$WORK/out dir"
run_case "path with blanks" "$WORK/out dir" 0x11 setup.exe "/q" setup.exe -s
expect_eq "path with blanks: command line" "$(report_field cmdline)" "\"$(win_path "$WORK/out dir")\\setup.exe\" /q "

# Clean-up: what was there before stays, this run's files and folders go.
clean="$WORK/clean"
mkdir -p "$clean/docs" "$clean/keep" "$clean/empty"
printf 'theirs' >"$clean/before.txt"
printf 'theirs' >"$clean/docs/mine.txt"
printf 'theirs' >"$clean/keep/x.txt"
printf 'theirs' >"$clean/readonly.txt"
chmod 0444 "$clean/readonly.txt"
(cd "$clean" && find . | sort) >"$WORK/before.lst"
# Keep attributes (read-only ro.txt), recreate folders, remove when done.
run_case "clean-up" "$clean" 0x15 'sub\setup.exe' "/q" 'sub\setup.exe' -s -d
expect_eq "clean-up: program ran" "$(report_field cmdline)" "\"$(win_path "$clean")\\sub\\setup.exe\" /q "
expect_eq "clean-up: exactly the entries of before remain" "$(cd "$clean" && find . | sort)" "$(cat "$WORK/before.lst")"
expect_eq "clean-up: their file unchanged" "$(cat "$clean/docs/mine.txt")" "theirs"

# Without -d the extracted files stay, the read-only one without write permission.
rm -rf "$clean"
mkdir -p "$clean"
run_case "no clean-up" "$clean" 0x15 'sub\setup.exe' "" 'sub\setup.exe' -s
expect_eq "no clean-up: files stay" "$(cd "$clean" && find . -type f | sort | tr '\n' ' ')" \
  "./docs/a.txt ./docs/ro.txt ./sub/setup.exe "
finish
