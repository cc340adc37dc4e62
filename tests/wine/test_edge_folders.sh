#!/usr/bin/env bash
# Where a user's folder or archive is unusual: a stored shell script is a
# document on Windows (the association box, not a silent failure); a rooted
# folder without a drive keeps its root; a relative folder is cleaned up
# wherever the stub was started from.
source "$(dirname "$0")/lib.sh"
use_echoargs
printf '#!/bin/sh\necho hi\n' >"$WORK/run.sh"
printf 'data\r\n' >"$WORK/a.txt"

# A .sh file holds none of .exe, .com, .bat: a document, and none is associated.
mkdir -p "$WORK/out"
"$mkarchive" --stub "$stub" --out "$WORK/script.exe" --word 0x11 --exec 'run.sh' "run.sh=$WORK/run.sh" ||
  { fail "mkarchive"; finish; }
start_win "$WORK/script.exe" -s "$(win_path "$WORK/out")"
expect_box "stored run.sh" " DOLM Self Extractor Error " "No application is associated with the specified file."
probe click 1 >/dev/null 2>&1 || probe close >/dev/null 2>&1
expect_exit "stored run.sh" 0 30

# "\work\...\rooted" has a root but no drive: only the current drive (Z:) goes in front.
rooted="$WORK/rooted"
mkdir -p "$rooted"
"$mkarchive" --stub "$stub" --out "$WORK/pack.exe" --word 0x11 --exec setup.exe --args '/q' \
  "setup.exe=$echoargs" "a.txt=$WORK/a.txt" || { fail "mkarchive"; finish; }
rooted_text=$(win_path "$rooted")
start_win "$WORK/pack.exe" -s "${rooted_text#Z:}"
expect_exit "rooted folder" 0 60
expect_eq "rooted folder: command line" "$(sed -n 's/^cmdline=//p' "$report" | tr -d '\r')" "\"$rooted_text\\setup.exe\" /q "

# A relative folder, the stub started from another folder: -d removes what it wrote.
mkdir -p "$WORK/elsewhere"
rm -f "$report"
(cd "$WORK/elsewhere" && "$WINE" ../pack.exe -s -d rel >"$WORK/rel.out" 2>&1)
expect_eq "relative folder: program ran" "$(grep -c '^cmdline=' "$report")" 1
expect_eq "relative folder: nothing of the run is left" "$(find "$WORK/elsewhere/rel" -type f | wc -l)" 0

finish
