#!/usr/bin/env bash
# Checks the built stubs as files: each is small enough for its appended
# archive's signature to lie inside the stub's search window, holds exactly one
# copy of the overlay signature (the archive's copy must be the second), the
# PE32 stub imports exactly the reviewed list of Windows functions, and the
# PE32+ stub nothing outside it.
#   stub_image.sh <stubs folder> <import allow-list>
set -uo pipefail
stubs=${1:?stubs folder}
allow=${2:?import allow-list}
signature='Tar_vex_For_Windows_95_98_NT_(0xA001B2X3AAE660KKL567BABE)'
max_start=250478  # the search window (250,535 bytes) less the signature (57)
failures=0
checked=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

for stub in "$stubs"/dolmsfx-*; do
  [ -f "$stub" ] || continue
  checked=$((checked + 1))
  name=$(basename "$stub")
  size=$(stat -c %s "$stub")
  if [ "$size" -lt "$max_start" ]; then
    echo "ok: $name is $size bytes"
  else
    fail "$name is $size bytes, not below $max_start"
  fi
  copies=$(grep -obUaF "$signature" "$stub" | wc -l)
  if [ "$copies" -eq 1 ]; then
    echo "ok: $name holds one copy of the overlay signature"
  else
    fail "$name holds $copies copies of the overlay signature"
  fi
done
[ "$checked" -gt 0 ] || fail "no stub in $stubs"

# "DLL!function" for every import of a PE image, DLL names in lower case.
imports_of() {
  "$1" -p "$2" | awk '
    /^[ \t]*DLL Name:/ { dll = tolower($3); next }
    /^[ \t]*$/ { dll = "" }
    dll != "" && /^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+[^ \t]+$/ { print dll "!" $3 }' | sort -u
}

pe32="$stubs/dolmsfx-win32.exe"
if [ -f "$pe32" ] && command -v i686-w64-mingw32-objdump >/dev/null; then
  imports_of i686-w64-mingw32-objdump "$pe32" >"${TMPDIR:-/tmp}/dolm-imports.$$"
  if diff -u <(grep -v '^#' "$allow" | grep -v '^$' | sort -u) "${TMPDIR:-/tmp}/dolm-imports.$$"; then
    echo "ok: dolmsfx-win32.exe imports exactly the $(wc -l <"${TMPDIR:-/tmp}/dolm-imports.$$") reviewed functions"
  else
    fail "dolmsfx-win32.exe imports differ from $allow (- reviewed, + actual)"
  fi
  rm -f "${TMPDIR:-/tmp}/dolm-imports.$$"
  # The SSE2 decoder is there, behind the processor test.
  code=$(i686-w64-mingw32-objdump -d "$pe32")
  if grep -q cpuid <<<"$code" && grep -qE 'pcmpgtw|paddusw' <<<"$code"; then
    echo "ok: dolmsfx-win32.exe holds SSE2 decoding and a cpuid test"
  else
    fail "dolmsfx-win32.exe lacks the SSE2 decoder or its cpuid test"
  fi
else
  fail "dolmsfx-win32.exe or i686-w64-mingw32-objdump is missing"
fi

pe64="$stubs/dolmsfx-win64.exe"
if [ -f "$pe64" ] && command -v x86_64-w64-mingw32-objdump >/dev/null; then
  others=$(comm -23 <(imports_of x86_64-w64-mingw32-objdump "$pe64") <(grep -v '^#' "$allow" | sort -u))
  if [ -z "$others" ]; then
    echo "ok: dolmsfx-win64.exe imports only reviewed functions"
  else
    fail "dolmsfx-win64.exe imports functions outside $allow: $others"
  fi
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "all stub image checks passed"
