#!/usr/bin/env bash
# Installs the packages that the build and the tests need, only when missing.
# Safe to run again: it does nothing when everything is present.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in cmake g++ make libgtest-dev libbenchmark-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
         binutils-mingw-w64-i686 wine64 clang libclang-rt-14-dev osslsigncode icoutils xz-utils bzip2 gzip time \
         python3 strace help2man dpkg-dev; do
  have "$p" || need+=("$p")
done
# The package test: man renders the manual pages, lintian checks the .deb.
for p in man-db lintian; do have "$p" || need+=("$p"); done

if [ "${#need[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages ${need[*]}; run this script as root" >&2
    exit 1
  fi
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
echo "install-deps: all packages present"
