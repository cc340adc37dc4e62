# Shared shell functions of the Wine tests (sourced by tests/wine/test_*.sh).
# Needs WINE (the loader of this run), STUB (the stub it runs), STUB_ARCH
# (win32 or win64), WINEPREFIX, STUBS, WINTOOLS (the Windows test programs of
# the same architecture), BUILD and SOURCE in the environment.
#
# A test starts a Windows program in the background (start_win), reads the
# dialog or message box it shows through wineprobe.exe (read_dialog,
# dialog_caption, dialog_control), answers it (probe click/enter/close) and
# checks the exit code (wait_win). Results are counted by expect_* and
# reported by finish; skip ends a test that cannot run with exit code 77.
set -uo pipefail

: "${WINE:?}" "${STUB:?}" "${STUB_ARCH:?}" "${WINEPREFIX:?}" "${STUBS:?}" "${WINTOOLS:?}" "${BUILD:?}" "${SOURCE:?}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
stub=$STUB

WORK=$(mktemp -d "$BUILD/wine-test.XXXXXX")
WIN_PID=""
WIN_RC=""
FAILURES=0
CHECKS=0

cleanup_win() {
  if [ -n "$WIN_PID" ] && kill -0 "$WIN_PID" 2>/dev/null; then
    kill "$WIN_PID" 2>/dev/null
    wait "$WIN_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap cleanup_win EXIT

skip() {
  echo "SKIP: $*"
  exit 77
}

fail() {
  echo "FAIL: $*"
  FAILURES=$((FAILURES + 1))
}

# expect_eq <label> <actual> <expected>
expect_eq() {
  CHECKS=$((CHECKS + 1))
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    fail "$1"
    echo "  expected: [$3]"
    echo "  actual:   [$2]"
  fi
}

# The loader of this run; the win32 run without Wine's 32-bit loader skips
# with the reason scripts/install-deps.sh gave.
if [ ! -x "$WINE" ]; then
  echo "SKIP: $WINE is not installed: $(cat "$BUILD/wine32-missing.txt" 2>/dev/null ||
    echo "run scripts/install-deps.sh as root")"
  exit 77
fi

finish() {
  if [ "$FAILURES" -gt 0 ]; then
    echo "$FAILURES of $CHECKS checks failed"
    exit 1
  fi
  echo "all $CHECKS checks passed"
  exit 0
}

require_file() {
  [ -e "$1" ] || skip "$2 ($1 does not exist)"
}

# The Windows form of a host path, as Wine maps the root to drive Z:.
win_path() {
  local p
  p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  echo "Z:${p//\//\\}"
}

# A text as wineprobe prints it: backslash, quote and line breaks escaped.
probe_escape() {
  local s=$1
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  s=${s//$'\n'/\\n}
  echo "$s"
}

# start_win <exe> [args...]: runs a Windows program in the background.
start_win() {
  "$WINE" "$@" >"$WORK/win.out" 2>&1 &
  WIN_PID=$!
}

# wait_win [seconds]: waits for the program of start_win and sets WIN_RC
# (124 when it had to be killed after the time limit).
wait_win() {
  local limit=$((${1:-30} * 10)) i=0
  while kill -0 "$WIN_PID" 2>/dev/null; do
    i=$((i + 1))
    if [ "$i" -gt "$limit" ]; then
      kill "$WIN_PID" 2>/dev/null
      wait "$WIN_PID" 2>/dev/null
      WIN_PID=""
      WIN_RC=124
      return 1
    fi
    sleep 0.1
  done
  wait "$WIN_PID"
  WIN_RC=$?
  WIN_PID=""
}

probe() {
  "$WINE" "$WINTOOLS/wineprobe.exe" "$@"
}

# read_dialog: waits for a dialog and keeps wineprobe's description of it.
read_dialog() {
  probe dump >"$WORK/dialog.txt" 2>"$WORK/probe.err"
  local rc=$?
  [ "$rc" -eq 0 ] || echo "  wineprobe: $(cat "$WORK/probe.err")"
  return "$rc"
}

# dialog_field <name>: one field of the last read_dialog (caption, topmost, rect, style).
dialog_field() {
  sed -n "s/^$1: //p" "$WORK/dialog.txt"
}

# dialog_control <id>: text of control <id> of the last read_dialog.
dialog_control() {
  sed -n "s/^control: $1 [^ ]* //p" "$WORK/dialog.txt"
}

# dialog_controls: "id class text" of every control, one per line, in order.
dialog_controls() {
  sed -n "s/^control: //p" "$WORK/dialog.txt"
}

# expect_box <label> <caption> <text>: a message box with this caption and text.
expect_box() {
  if ! read_dialog; then
    CHECKS=$((CHECKS + 1))
    fail "$1: no message box"
    return 1
  fi
  expect_eq "$1: caption" "$(dialog_field caption)" "$(probe_escape "$2")"
  expect_eq "$1: text" "$(dialog_control 65535)" "$(probe_escape "$3")"
}

# expect_exit <label> <code> [seconds]: the program of start_win ends with <code>.
expect_exit() {
  wait_win "${3:-30}"
  expect_eq "$1: exit code" "$WIN_RC" "$2"
}

# expect_no_dialog <label> [ms]: no dialog appears within the time.
expect_no_dialog() {
  CHECKS=$((CHECKS + 1))
  if probe -t "${2:-1500}" none >"$WORK/probe.out" 2>&1; then
    echo "ok: $1"
  else
    fail "$1"
    cat "$WORK/probe.out"
  fi
}

# use_echoargs: for the launch tests. Sets stub, echoargs and mkarchive (ending
# the test as skipped when one is not built) and points echoargs' report at
# $report.
use_echoargs() {
  echoargs="$WINTOOLS/echoargs.exe"
  mkarchive="$BUILD/tests/mkarchive"
  require_file "$stub" "the $STUB_ARCH Windows stub is not built"
  require_file "$echoargs" "echoargs.exe is not built"
  require_file "$mkarchive" "mkarchive is not built"
  report="$WORK/report.txt"
  DOLM_ECHO_FILE=$(win_path "$report")
  export DOLM_ECHO_FILE
}
