#!/usr/bin/env bash
# The 32-bit stub under Wine's 32-bit loader, when one is installed: a stub
# without archive shows error 22 and ends with exit code 0. Without that
# loader the PE32 stub is only checked as a file (tests/stub_image.sh).
source "$(dirname "$0")/lib.sh"
stub="$STUBS/dolmsfx-win32.exe"
require_file "$stub" "the 32-bit Windows stub is not built"
loader=""
for candidate in "$(dirname "$WINE")/wine" /usr/lib/wine/wine /usr/bin/wine; do
  if [ -x "$candidate" ] && [ "$candidate" != "$WINE" ]; then loader=$candidate; break; fi
done
[ -n "$loader" ] || skip "Wine's 32-bit loader is not installed; dolmsfx-win32.exe is checked statically only (stub_image)"

"$loader" "$stub" >"$WORK/win.out" 2>&1 &
WIN_PID=$!
expect_box "32-bit stub without archive" ' DOLM Self Extractor Error ' \
  $'Error #22\nCannot find options located in the second entry, unexpected error.\nUnable to locate Tarvex Options.'
probe click 1 >/dev/null
expect_exit "32-bit stub without archive" 0
finish
