#!/usr/bin/env bash
# Takes the README's pictures of the licence, "Extract to" and progress
# windows: the 32-bit stub runs under Wine's X11 driver on a virtual X
# server (Xvfb), in a Wine desktop of its own (so that Wine draws the window
# frames), and each window is cut out of the screen by the place wineprobe
# reads. Writes docs/window-licence.png, docs/window-extract-to.png and
# docs/window-progress.png.
#
# Usage: scripts/screenshots.sh [BUILD]   (default: build; it needs dolm, the
# win32 stub and wineprobe.exe, as `cmake --build BUILD` makes them)
# Installs Xvfb, xwd and ImageMagick when missing (as root, as
# scripts/install-deps.sh does).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
dolm=$build/dolm
stub=$build/stubs/dolmsfx-win32.exe
probe_exe=$build/cross-win32/install/wineprobe.exe
wine=/usr/lib/wine/wine
for f in "$dolm" "$stub" "$probe_exe" "$wine"; do
  [ -e "$f" ] || { echo "screenshots: $f is missing (build first; Wine's 32-bit loader: scripts/install-deps.sh)" >&2; exit 1; }
done

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
for p in xvfb x11-apps imagemagick; do have "$p" || need+=("$p"); done
if [ "${#need[@]}" -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "screenshots: missing packages ${need[*]}; run as root" >&2; exit 1; }
  echo "screenshots: installing ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

work=$(mktemp -d "$build/screenshots.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
display=:$((50 + RANDOM % 400))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
stub_pid=""
finish() {
  [ -n "$stub_pid" ] && kill "$stub_pid" 2>/dev/null
  "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
export DISPLAY=$display
sleep 1

# A prefix whose programs share one Wine desktop of the screen's size.
"$wine" wineboot -i >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
"$(dirname "$wine")/wineserver" -w

# An installer as a release engineer packs it.
mkdir -p "$work/Acme Tools/bin" "$work/Acme Tools/doc"
head -c 900000 /dev/urandom >"$work/Acme Tools/bin/acme.exe"
seq 1 20000 >"$work/Acme Tools/doc/manual.txt"
{
  echo "ACME TOOLS 2.0 - LICENCE AGREEMENT"
  echo
  for i in $(seq 1 24); do
    echo "$i. Acme Tools may be used, copied and given away under the terms of this agreement, clause $i."
  done
} >"$work/licence.txt"
"$dolm" pack -o "$work/setup.exe" --stub "$stub" --prompt --title "Acme Tools 2.0 Setup" \
  --confirm "$work/licence.txt" --temp 'C:\Program Files\Acme Tools' "$work/Acme Tools" >/dev/null

# shot <caption> <png>: the window with that caption, as the screen shows it.
shot() {
  local rect
  rect=$("$wine" "$probe_exe" -c "$1" dump | sed -n 's/^rect: //p' | tr -d '\r')
  [ -n "$rect" ] || { echo "screenshots: no window \"$1\"" >&2; exit 1; }
  read -r left top right bottom <<<"$rect"
  sleep 1  # until the window has been painted
  xwd -root -silent | convert xwd:- -crop "$((right - left))x$((bottom - top))+$left+$top" +repage \
    -strip "$here/docs/$2"
  echo "screenshots: docs/$2"
}
mkdir -p "$here/docs"
"$wine" "$work/setup.exe" >/dev/null 2>&1 &
stub_pid=$!
shot "Acme Tools 2.0 Setup" window-licence.png
"$wine" "$probe_exe" -c "Acme Tools 2.0 Setup" click 1 >/dev/null
sleep 1
shot "Acme Tools 2.0 Setup" window-extract-to.png
out=$("$wine" winepath -w "$work/out" 2>/dev/null | tr -d '\r')
# The folder exists with the manual in it, so that the overwrite question
# holds the run while the progress window shows.
mkdir -p "$work/out/Acme Tools/doc"
echo old >"$work/out/Acme Tools/doc/manual.txt"
"$wine" "$probe_exe" -c "Acme Tools 2.0 Setup" settext 1111 "$out" >/dev/null
"$wine" "$probe_exe" -c "Acme Tools 2.0 Setup" click 1 >/dev/null
"$wine" "$probe_exe" -c "Overwrite file" dump >/dev/null
shot "Acme Tools 2.0 Setup" window-progress.png
"$wine" "$probe_exe" -c "Overwrite file" click 1018 >/dev/null
wait "$stub_pid" || true
stub_pid=""
