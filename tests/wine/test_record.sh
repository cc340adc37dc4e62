#!/usr/bin/env bash
# The Windows stub with the settings record that `dolm pack` writes by
# default: the program's exit code and the scripts' table, no window in a
# silent run and /log, switches as people type them, a fresh folder per run
# under %TEMP% that -d removes whole, environment variables in the stored
# folder. The same archive without the record (--classic) keeps exit code 0.
source "$(dirname "$0")/lib.sh"
use_echoargs
dolm="$BUILD/dolm"
require_file "$dolm" "the dolm tool is not built"

src="$WORK/src"
mkdir -p "$src/docs"
cp "$echoargs" "$src/echoargs.exe"
printf 'new\r\n' >"$src/docs/a.txt"
touch -d '2001-02-03 04:05:06 UTC' "$src/docs/a.txt"
chmod 0444 "$src/docs/a.txt"

# pack <name> [dolm pack options...]: echoargs.exe, started with "stored", and docs\a.txt.
pack() {
  local name=$1
  shift
  "$dolm" pack -o "$WORK/$name.exe" --stub "$stub" --exec echoargs.exe --args stored "$@" \
    -C "$src" echoargs.exe docs >"$WORK/pack.log" 2>&1 || { fail "dolm pack $*: $(cat "$WORK/pack.log")"; finish; }
}
pack rec
pack classic --classic

report_field() {
  sed -n "s/^$1=//p" "$report" | tr -d '\r'
}

# The switches of the tables below are split at blanks and never globbed ("/?").
set -f
# ---- exit codes: the program's own with the record, 0 without -----------------------
while IFS='|' read -r label archive code args expected; do
  rm -rf "$WORK/out"
  DOLM_ECHO_EXIT=$code start_win "$WORK/$archive.exe" $args "$(win_path "$WORK/out")"
  expect_exit "$label" "$expected"
done <<'CASES'
program exits 7|rec|7|/s|7
program exits 0|rec|0|-s|0
classic, program exits 7|classic|7|/s|0
CASES

# ---- /ok C:\x: into C:\x over an existing file, with the stored time and read-only -------
x="$WINEPREFIX/drive_c/x"
rm -rf "$x"
mkdir -p "$x/docs"
printf 'old' >"$x/docs/a.txt"
start_win "$WORK/rec.exe" /ok 'C:\x'
expect_exit "/ok C:\\x" 0
expect_eq "/ok C:\\x: overwritten" "$(cat "$x/docs/a.txt" 2>&1)" $'new\r'
expect_eq "/ok C:\\x: stored time and read-only" "$(stat -c '%Y %a' "$x/docs/a.txt")" "981173106 444"
chmod -R u+w "$x" && rm -rf "$x"

# ---- the usage box: asked for (exit 0), or after a wrong command line (exit 2) ----------
while IFS='|' read -r label args code first; do
  start_win "$WORK/rec.exe" $args
  if read_dialog; then
    text=$(dialog_control 65535)
    expect_eq "$label: caption" "$(dialog_field caption)" " DOLM Self Extractor "
    expect_eq "$label: first line" "${text%%\\n*}" "$first"
    probe click 1 >/dev/null
  else
    fail "$label: no usage box"
  fi
  expect_exit "$label" "$code"
done <<'CASES'
/?|/?|0|[/o] [/k] [/r] [/d] [/s] [/i] [/log FILE] [FOLDER] [-- ARGUMENTS]
-h|-h|0|[/o] [/k] [/r] [/d] [/s] [/i] [/log FILE] [FOLDER] [-- ARGUMENTS]
--help|--help|0|[/o] [/k] [/r] [/d] [/s] [/i] [/log FILE] [FOLDER] [-- ARGUMENTS]
unknown switch|/ox|2|unknown switch /ox
two folders|a b|2|more than one folder given: b
CASES

set +f
# ---- silent runs show no window: a wrong switch, a damaged archive (into the log) --------
start_win "$WORK/rec.exe" /s /x
expect_no_dialog "silent, unknown switch: no window"
expect_exit "silent, unknown switch" 2
cp "$WORK/rec.exe" "$WORK/damaged.exe"
pos=$(($(stat -c %s "$WORK/damaged.exe") - 2000))
byte=$(od -An -tu1 -j "$pos" -N1 "$WORK/damaged.exe" | tr -d ' ')
printf "$(printf '\\%03o' $(((byte ^ 0x10) & 0xFF)))" | dd of="$WORK/damaged.exe" bs=1 seek="$pos" conv=notrunc 2>/dev/null
start_win "$WORK/damaged.exe" /s /log "$(win_path "$WORK/damaged.log")" "$(win_path "$WORK/out-damaged")"
expect_no_dialog "silent, damaged: no window" 3000
expect_exit "silent, damaged" 4
expect_eq "silent, damaged: the log" "$(grep -c '^Error #' "$WORK/damaged.log"), $(tail -n1 "$WORK/damaged.log" | tr -d '\r')" \
  "1, exit code 4"

# ---- a damaged copy run by hand over files that exist: the whole archive is checked first,
# so no overwrite question comes, one error box does, and the files stay as they were
mkdir -p "$WORK/out-kept/docs"
printf 'old' >"$WORK/out-kept/docs/a.txt"
printf 'old' >"$WORK/out-kept/echoargs.exe"
start_win "$WORK/damaged.exe" "$(win_path "$WORK/out-kept")"
caption=" DOLM Self Extractor Error "
if probe -c "$caption" dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"; then
  text=$(dialog_control 65535)
  expect_eq "damaged, by hand: an error box" "${text:0:7}" "Error #"
  probe -c "$caption" click 1 >/dev/null
else
  fail "damaged, by hand: no error box"
fi
expect_exit "damaged, by hand" 4
expect_eq "damaged, by hand: the files that were there" \
  "$(cat "$WORK/out-kept/docs/a.txt") $(cat "$WORK/out-kept/echoargs.exe") $(find "$WORK/out-kept" -type f | wc -l)" "old old 2"

# ---- --: the rest of the command line after the stored arguments; a silent run ----------
# asks nothing and keeps the files that exist (the log names them)
start_win "$WORK/rec.exe" /s "$(win_path "$WORK/out")" /log "$(win_path "$WORK/run.log")" -- --prefix=x "a b"
expect_exit "--" 0
expect_eq "--: command line" "$(report_field cmdline)" "\"$(win_path "$WORK/out")\\echoargs.exe\" stored --prefix=x \"a b\" "
expect_eq "--: the log" "$(tr -d '\r' <"$WORK/run.log")" "$(printf '%s: exists and is kept (/o overwrites)\n' \
  "$(win_path "$WORK/out")\docs\a.txt" "$(win_path "$WORK/out")\echoargs.exe")
exit code 0"

# ---- a fresh folder per run under %TEMP%, removed whole by -d ----------------------------
temp=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp | grep -v /Public/ | head -n1)
before=$(ls "$temp")
run_in_temp() {  # run_in_temp <label> [switches]: the name of the folder the program ran in
  rm -f "$report"
  start_win "$WORK/rec.exe" /s "$@"
  wait_win 60
  local cwd
  cwd=$(report_field cwd)
  echo "${cwd##*\\}"
}
kept=$(run_in_temp)
expect_eq "private folder: fresh, under %TEMP%, holds the files" \
  "$([[ $kept =~ ^dolm[0-9A-F]{8}$ ]] && echo named), $(grep -cx "$kept" <<<"$before"), $(cat "$temp/$kept/docs/a.txt")" \
  $'named, 0, new\r'
removed=$(run_in_temp /d)
expect_eq "private folder with -d: another one, removed whole" \
  "$([[ $removed =~ ^dolm[0-9A-F]{8}$ && $removed != "$kept" ]] && echo new), $(ls "$temp" | grep -cvxF "$before")" "new, 1"
chmod -R u+w "$temp/$kept" && rm -rf "${temp:?}/$kept"

# ---- environment variables in the stored folder -------------------------------------------
pack env --temp '%DOLM_TEST_DIR%\acme'
DOLM_TEST_DIR=$(win_path "$WORK/envdir") start_win "$WORK/env.exe" /s
expect_exit "stored %DOLM_TEST_DIR%\\acme" 0
expect_eq "stored %DOLM_TEST_DIR%\\acme: expanded" "$(report_field cwd)" "$(win_path "$WORK/envdir")\\acme"
finish
