#!/usr/bin/env bash
# A stored execute file that is a document: the Windows stub asks the shell for
# the associated program (FindExecutableA under Wine, with an association for
# the extension .dolmdoc registered in the prefix to echoargs.exe) and starts it
# with the document and the stored arguments; a document type that nothing is
# associated with shows the "No application is associated" box and the run
# goes on to its end (exit code 0).
source "$(dirname "$0")/lib.sh"
use_echoargs
printf 'a document\r\n' >"$WORK/notes.dolmdoc"
cp "$WORK/notes.dolmdoc" "$WORK/notes.nothing"
prog=$(win_path "$echoargs")

"$WINE64" reg add 'HKCR\.dolmdoc' /ve /d dolmdocfile /f >/dev/null 2>&1
"$WINE64" reg add 'HKCR\dolmdocfile\shell\open\command' /ve /d "\"$prog\" \"%1\"" /f \
  >/dev/null 2>&1

# The associated program receives: itself quoted, the document path, the
# stored arguments, each followed by one blank.
mkdir -p "$WORK/out"
"$mkarchive" --stub "$stub" --out "$WORK/doc.exe" --word 0x11 --exec 'Notes.dolmdoc' --args '/p' \
  "Notes.dolmdoc=$WORK/notes.dolmdoc" || { fail "mkarchive"; finish; }
start_win "$WORK/doc.exe" -s "$(win_path "$WORK/out")"
expect_exit "associated program" 0 60
cmdline=$(sed -n 's/^cmdline=//p' "$report" | tr -d '\r')
document="$(win_path "$WORK/out")\\Notes.dolmdoc"
expect_eq "associated program: document and arguments" "${cmdline#*.exe\" }" "$document /p "
expect_eq "associated program: the program itself, quoted" \
  "$(echo "$cmdline" | grep -ci '^"[^"]*echoargs.exe" ')" 1

# No associated program: the box, then the run ends normally.
mkdir -p "$WORK/out2"
"$mkarchive" --stub "$stub" --out "$WORK/none.exe" --word 0x11 --exec 'notes.nothing' \
  "notes.nothing=$WORK/notes.nothing" || { fail "mkarchive"; finish; }
start_win "$WORK/none.exe" -s "$(win_path "$WORK/out2")"
expect_box "no association" " DOLM Self Extractor Error " "No application is associated with the specified file."
probe click 1 >/dev/null 2>&1 || probe close >/dev/null 2>&1
expect_exit "no association" 0 30
expect_eq "no association: document extracted" "$(cmp -s "$WORK/notes.nothing" "$WORK/out2/notes.nothing" && echo same)" same

finish
