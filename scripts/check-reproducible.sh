#!/usr/bin/env bash
# Builds the committed sources twice, in two folders of different names and
# depths, and compares the three stubs and dolm byte for byte.
# Usage: scripts/check-reproducible.sh [COMMIT]   (default HEAD)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
commit=${1:-HEAD}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# SOURCE_DATE_EPOCH is left as the caller has it: the binaries must not
# depend on the build's time even without it.

build() {  # build FOLDER
  mkdir -p "$1/src"
  git -C "$here" archive "$commit" | tar -x -C "$1/src"
  cmake -S "$1/src" -B "$1/build" -DCMAKE_BUILD_TYPE=Release -DDOLM_WINDOWS_STUBS=ON >/dev/null
  cmake --build "$1/build" -j2 --target dolm dolmsfx-linux stub-win32 stub-win64 >/dev/null
}
build "$work/one"
build "$work/second/other-name"

status=0
for f in dolm stubs/dolmsfx-linux stubs/dolmsfx-win32.exe stubs/dolmsfx-win64.exe; do
  a="$work/one/build/$f" b="$work/second/other-name/build/$f"
  if cmp -s "$a" "$b"; then
    echo "same:   $f ($(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -c1-16))"
  else
    echo "DIFFER: $f"
    status=1
  fi
done
exit $status
