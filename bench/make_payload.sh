#!/usr/bin/env bash
# Builds the benchmark payload: about 50 MB of files that every build machine
# has after scripts/install-deps.sh, the same bytes everywhere.
#   - the 32-bit mingw-w64 runtime DLLs of the win32 thread model
#     (/usr/lib/gcc/i686-w64-mingw32/*-win32/*.dll, no Ada runtime),
#   - the DLLs under /usr/*-w64-mingw32/lib,
#   - mingw-w64 headers from /usr/share/mingw-w64/include, in sorted order,
#     until the payload reaches the size budget.
# Every list is sorted in the C locale, so the choice does not depend on the
# file system's order. Files get mode 0644 and one fixed time.
#
# Usage: make_payload.sh OUTDIR [BUDGET_BYTES]   (default budget 50,000,000)
set -euo pipefail

out=${1:?usage: make_payload.sh OUTDIR [BUDGET_BYTES]}
budget=${2:-50000000}
export LC_ALL=C

if [ -e "$out" ] && [ -n "$(ls -A "$out" 2>/dev/null)" ]; then
  echo "make_payload: $out exists and is not empty" >&2
  exit 1
fi
mkdir -p "$out/dll" "$out/include"

total=0
add() {  # add SOURCE DEST: copies one file when it fits the budget; 1 when it does not
  local size
  size=$(stat -c %s "$1")
  if [ $((total + size)) -gt "$budget" ]; then return 1; fi
  mkdir -p "$(dirname "$2")"
  cp "$1" "$2"
  chmod 0644 "$2"
  total=$((total + size))
}

dlls=$( { ls -d /usr/lib/gcc/i686-w64-mingw32/*-win32/*.dll /usr/*-w64-mingw32/lib/*.dll 2>/dev/null || true; } | sort)
if [ -z "$dlls" ]; then
  echo "make_payload: no mingw-w64 DLLs found; run scripts/install-deps.sh" >&2
  exit 1
fi
for f in $dlls; do
  # The same name exists for both architectures: the folder's first part
  # (i686-w64-mingw32, x86_64-w64-mingw32) keeps them apart.
  arch=$(echo "$f" | sed -E 's#^/usr/(lib/gcc/)?([^/]+)/.*#\2#')
  add "$f" "$out/dll/$arch/$(basename "$f")" || true
done

inc=/usr/share/mingw-w64/include
files=0
while IFS= read -r rel; do
  add "$inc/$rel" "$out/include/$rel" || break
  files=$((files + 1))
done < <(cd "$inc" && find . -type f -printf '%P\n' | sort)

find "$out" -exec touch -h -d '2020-01-01 00:00:00 UTC' {} +
echo "make_payload: $out holds $(find "$out" -type f | wc -l) files, $total bytes ($files headers)"
