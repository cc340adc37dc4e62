#!/usr/bin/env bash
# What the Windows stub shows under Wine: the error box of a stub
# without archive, the options report, errors 21 and 1 for a damaged archive
# header, and the "Overwrite file" question with its answers.
source "$(dirname "$0")/lib.sh"
require_file "$stub" "the $STUB_ARCH Windows stub is not built"
mkarchive="$BUILD/tests/mkarchive"
caption=' DOLM Self Extractor Error '

# ---- a stub without an appended archive: error 22 -------------------------------
start_win "$stub"
expect_box "no archive" "$caption" \
  $'Error #22\nCannot find options located in the second entry, unexpected error.\nUnable to locate Tarvex Options.'
expect_eq "no archive: OK button" "$(dialog_control 1)" "OK"
probe click 1 >/dev/null
expect_exit "no archive" 0

if [ ! -x "$mkarchive" ]; then
  echo "SKIP: archive cases: $mkarchive is not built"
  finish
fi

# ---- options report ----------------------------------------------------------------
front="$WORK/front.exe"
if ! timeout 60 "$mkarchive" --stub "$stub" --out "$front" --word 0x115 --exec setup.exe --front-only; then
  fail "mkarchive cannot append an option block to the stub"
  finish
fi
about='About Ostrel Self-Extractor File'
report() {  # the six numbers, the temporary folder, the execute file
  printf 'OverWriteExistingFiles = %s\nKeepOriginalFileAttrib  = %s\nPromptUserForOptions = %s\nRecreateOriginalFolders = %s\nDeleteSFXwhenDone = %s\nSilentExtraction = %s\nTemporary Directory  = %s\nExecute file = %s' "$@"
}
start_win "$front" -a
expect_box "report of word 0x115" "$about" "$(report 1 1 1 1 0 0 '' setup.exe)"
probe enter >/dev/null
expect_exit "report of word 0x115" 0

# Silence and IgnoreErrors do not suppress the report; the argument is shown.
start_win "$front" -s -a -i 'D:\out'
expect_box "report with -s -i" "$about" "$(report 1 1 0 1 0 1 'D:\out' setup.exe)"
probe click 1 >/dev/null
expect_exit "report with -s -i" 0

# ---- damaged archive header ----------------------------------------------------------
# The archive header follows the signature (57), the options record (16) and
# the texts of lengths T and E stored at archive start + 57 and + 61.
start=$(stat -c %s "$stub")
read -r t e <<<"$(od -An -tu4 -j $((start + 57)) -N 8 "$front")"
header=$((start + 73 + t + e))
expect_eq "archive header marker" "$(dd if="$front" bs=1 skip="$header" count=4 2>/dev/null)" "ULEB"

damage() {  # damage <copy> <offset> <bytes>
  cp "$front" "$1"
  printf '%s' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
damage "$WORK/marker.exe" "$header" "XLEB"
start_win "$WORK/marker.exe"
expect_box "damaged marker" "$caption" \
  "$(printf 'Error #21\nThe ULEB marker was not found at location %d' $((header + 4)))"
probe click 1 >/dev/null
expect_exit "damaged marker" 0

for field in "tag 17" "crc 32"; do
  set -- $field
  damage "$WORK/$1.exe" $((header + $2)) "Q"
  start_win "$WORK/$1.exe"
  expect_box "damaged header $1" "$caption" \
    "Error #1"$'\n'"Archive '$(win_path "$WORK/$1.exe")'  cannot be recognized as a valid DOLM format!"
  probe click 1 >/dev/null
  expect_exit "damaged header $1" 0
done

# ---- the "Overwrite file" question -----------------------------------------------------
printf 'new a\n' >"$WORK/a.txt"
printf 'new b\n' >"$WORK/b.txt"
full="$WORK/full.exe"
if ! timeout 120 "$mkarchive" --stub "$stub" --out "$full" --word 0x114 a.txt="$WORK/a.txt" b.txt="$WORK/b.txt" \
     2>"$WORK/mkarchive.err"; then
  CHECKS=$((CHECKS + 1))
  fail "overwrite cases: mkarchive cannot build a full archive: $(cat "$WORK/mkarchive.err")"
  finish
fi
# A deep target folder, so that the question shows the path shortened to 70.
out="$WORK/a-folder-with-a-rather-long-name-for-the-question/out"
mkdir -p "$out"
target="$(win_path "$out")\\a.txt"
question="..${target: -68}"

# read_question <label>: reads the dialog; when the run shows something else
# (an error box), the extraction itself is broken and the remaining cases
# cannot run: report what was shown and stop.
read_question() {
  if ! read_dialog; then
    CHECKS=$((CHECKS + 1))
    fail "$1: no dialog"
    return 1
  fi
  if [ "$(dialog_field caption)" != "Overwrite file" ]; then
    CHECKS=$((CHECKS + 1))
    fail "$1: the run shows another box instead of the question:"
    cat "$WORK/dialog.txt"
    probe click 1 >/dev/null
    wait_win 10
    finish
  fi
}

fresh_targets() {
  rm -rf "$out" && mkdir -p "$out"
  printf 'old a\n' >"$out/a.txt"
  printf 'old b\n' >"$out/b.txt"
}

# Silent: topmost at 300,150; Enter answers Yes for a.txt, Close answers No for b.txt.
fresh_targets
start_win "$full" -s "$(win_path "$out")"
if read_question "silent question"; then
  expect_eq "silent question: text" "$(dialog_control 1020)" "$(probe_escape "$question")"
  expect_eq "silent question: topmost" "$(dialog_field topmost)" 1
  expect_eq "silent question: position" "$(dialog_field rect | cut -d' ' -f1,2)" "300 150"
  expect_eq "question: buttons in tab order" \
    "$(dialog_controls | cut -d' ' -f1,3- | head -4 | tr '\n' ',')" "1018 Yes,1019 No,1016 Yes to all,1000 Cancel,"
  probe enter >/dev/null
  sleep 0.5
  if read_question "second question"; then
    expect_eq "second question names b.txt" "$(dialog_control 1020 | tail -c 6)" "b.txt"
    probe close >/dev/null
  fi
fi
expect_exit "Enter then Close" 0
expect_eq "Enter replaced a.txt" "$(cat "$out/a.txt")" "new a"
expect_eq "Close kept b.txt" "$(cat "$out/b.txt")" "old b"

# Not silent: not topmost; Yes to all answers for both files at once.
fresh_targets
start_win "$full" "$(win_path "$out")"
if read_question "question"; then
  expect_eq "question: not topmost when not silent" "$(dialog_field topmost)" 0
  probe click 1016 >/dev/null
  expect_no_dialog "Yes to all asks no more" 2000
fi
expect_exit "Yes to all" 0
expect_eq "Yes to all replaced a.txt" "$(cat "$out/a.txt")" "new a"
expect_eq "Yes to all replaced b.txt" "$(cat "$out/b.txt")" "new b"

# Cancel ends the run with exit code 1 and leaves the file as it was.
fresh_targets
start_win "$full" "$(win_path "$out")"
probe click 1000 >/dev/null || fail "cancel: no dialog"
expect_exit "Cancel" 1
expect_eq "Cancel kept a.txt" "$(cat "$out/a.txt")" "old a"

finish
