#!/usr/bin/env bash
# Creates the private Wine prefix of a test run once, with the null graphics
# driver so that dialogs and message boxes are real windows that block even
# without a display. Needs WINE and WINEPREFIX; WINE32 names the 32-bit loader.
set -euo pipefail
: "${WINE:?WINE must name the wine64 loader}"
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEPREFIX WINEDEBUG="${WINEDEBUG:--all}"
# No desktop integration (menus, file associations) in the test prefix.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-winemenubuilder.exe=d}"

stamp="$WINEPREFIX/.dolm-prefix-ready"
# A prefix made before the 32-bit loader was installed has no 32-bit side, on
# which the PE32 stub cannot start: made again.
if [ -f "$stamp" ] && [ -x "${WINE32:-}" ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
  echo "setup_prefix: $WINEPREFIX lacks the 32-bit side; making it again"
  wineserver_bin="$(dirname "$WINE")/wineserver"
  if [ -x "$wineserver_bin" ]; then "$wineserver_bin" -k 2>/dev/null || true; fi
  rm -rf "$WINEPREFIX"
fi
if [ -f "$stamp" ]; then
  echo "setup_prefix: $WINEPREFIX is ready"
  exit 0
fi
mkdir -p "$WINEPREFIX"
"$WINE" wineboot -i
"$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
# Let wineboot's background processes finish writing the registry.
wineserver_bin="$(dirname "$WINE")/wineserver"
if [ -x "$wineserver_bin" ]; then "$wineserver_bin" -w; fi
touch "$stamp"
echo "setup_prefix: created $WINEPREFIX"
