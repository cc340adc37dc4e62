#!/usr/bin/env bash
# The "Overwrite file" dialog of the Win32 backend, run alone by
# overwrite-dialog.exe (its exit code is the answer letter): template, texts
# and control order, placement when silent, and the answer of each way out.
source "$(dirname "$0")/lib.sh"
require_file "$WINTOOLS/overwrite-dialog.exe" "the dialog driver is not built"
driver="$WINTOOLS/overwrite-dialog.exe"
question='C:\TEMP\Files\Setup.exe'

# Template: caption, controls in template order with their IDs and texts.
start_win "$driver" "$question"
if read_dialog; then
  expect_eq "caption" "$(dialog_field caption)" "Overwrite file"
  expect_eq "controls in template order" "$(dialog_controls)" \
"1018 Button Yes
1019 Button No
1016 Button Yes to all
1000 Button Cancel
1020 Static $(probe_escape "$question")"
  expect_eq "not topmost when not silent" "$(dialog_field topmost)" 0
  # The buttons read Yes, Yes to all, No, Cancel from left to right.
  probe click 1018 >/dev/null
else
  fail "no dialog"
fi
expect_exit "Yes button" 89

# Silent: topmost with its top-left corner at 300,150.
start_win "$driver" -s "$question"
if read_dialog; then
  expect_eq "silent: topmost" "$(dialog_field topmost)" 1
  expect_eq "silent: position" "$(dialog_field rect | cut -d' ' -f1,2)" "300 150"
  probe enter >/dev/null
else
  fail "no silent dialog"
fi
expect_exit "Enter answers Yes" 89

# Every other way out: answer letter as exit code.
while read -r label action code; do
  start_win "$driver" "$question"
  if probe ${action//,/ } >/dev/null; then
    expect_exit "$label" "$code"
  else
    fail "$label: no dialog"
    wait_win 5
  fi
done <<'CASES'
Yes-to-all-button click,1016 65
No-button click,1019 78
Cancel-button click,1000 67
close-answers-No close 78
CASES

# Escape sends a command that the dialog does not handle: it stays open.
start_win "$driver" "$question"
probe escape >/dev/null
sleep 1
if probe -t 2000 dump >/dev/null 2>&1; then
  expect_eq "Escape leaves the dialog open" "open" "open"
  probe close >/dev/null
else
  expect_eq "Escape leaves the dialog open" "closed" "open"
fi
expect_exit "close after Escape" 78

finish
