#!/usr/bin/env bash
# Installs the packages that the build and the tests need, only when missing.
# Safe to run again: it does nothing when everything is present.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

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
# Wine's 32-bit loader (wine32:i386), which runs the PE32 stub in the Wine
# tests. Installed only when the loader is missing; when it cannot be
# installed, the reason is printed and kept in $wine32_note, and the win32
# Wine tests skip with it.
wine32_loader=/usr/lib/wine/wine
wine32_note="$here/build/wine32-missing.txt"

wine32_give_up() {
  echo "install-deps: cannot install Wine's 32-bit loader: $*" >&2
  echo "install-deps: the win32 Wine tests will be skipped" >&2
  mkdir -p "$(dirname "$wine32_note")"
  echo "$*" >"$wine32_note"
}

# The security suite's i386 index does not download on these machines: that
# suite is limited to amd64 and pinned below the main suite, so that the amd64
# and i386 builds of a multi-arch library come from one suite.
wine32_prepare_apt() {
  local codename sources=/etc/apt/sources.list.d/debian.sources pin=/etc/apt/preferences.d/dolm-security
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "install-deps: dpkg --add-architecture i386"
    dpkg --add-architecture i386
  fi
  if [ -f "$sources" ] && ! awk -v RS= "/Suites:[^\n]*$codename-security/ && /Architectures:/ {f=1} END {exit !f}" "$sources"; then
    echo "install-deps: $sources: the $codename-security suite limited to amd64"
    awk -v RS= -v ORS='\n\n' "/Suites:[^\n]*$codename-security/ {\$0 = \$0 \"\nArchitectures: amd64\"} {print}" \
      "$sources" >"$sources.new" && mv "$sources.new" "$sources"
  fi
  if [ ! -f "$pin" ]; then
    echo "install-deps: $pin: $codename-security pinned at priority 100"
    printf 'Package: *\nPin: release n=%s-security\nPin-Priority: 100\n' "$codename" >"$pin"
  fi
  echo "install-deps: apt-get update"
  apt-get update -qq
}

# "pkg:amd64=version" for each installed amd64 library named in apt's
# complaint whose version differs from the i386 build apt can get, so that
# both come at one version.
wine32_pinned_versions() {
  local name installed candidate
  for name in $(grep -oE '^ +[a-z0-9][a-z0-9.+-]+(:i386)? :|Depends: [a-z0-9][a-z0-9.+-]+' <<<"$1" |
                sed -E 's/^ +//; s/ :$//; s/^Depends: //; s/:i386$//' | sort -u); do
    installed=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null) || continue
    candidate=$(apt-cache policy "$name:i386" | sed -n 's/^ *Candidate: //p')
    if [ -n "$candidate" ] && [ "$candidate" != "(none)" ] && [ "$candidate" != "$installed" ]; then
      echo "$name:amd64=$candidate"
    fi
  done
}

install_wine32() {
  [ -x "$wine32_loader" ] && { rm -f "$wine32_note"; return 0; }
  if [ "$(id -u)" -ne 0 ]; then
    wine32_give_up "$wine32_loader is missing and install-deps.sh does not run as root"
    return 0
  fi
  if [ "$(dpkg --print-architecture)" != amd64 ]; then
    wine32_give_up "$wine32_loader is missing and this is not an amd64 system"
    return 0
  fi
  wine32_prepare_apt || { wine32_give_up "apt could not be prepared for i386 packages"; return 0; }
  local extra=() sim added round
  for round in 1 2 3 4 5; do
    if sim=$(apt-get install -s --no-install-recommends --allow-downgrades wine32:i386 "${extra[@]}" 2>&1); then
      echo "install-deps: installing wine32:i386 ${extra[*]}"
      if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --allow-downgrades \
           wine32:i386 "${extra[@]}" >/dev/null && [ -x "$wine32_loader" ]; then
        rm -f "$wine32_note"
        echo "install-deps: installed $wine32_loader"
      else
        wine32_give_up "apt-get install wine32:i386 ${extra[*]} failed"
      fi
      return 0
    fi
    added=$(wine32_pinned_versions "$sim")
    [ -n "$added" ] || break
    extra+=($added)
  done
  wine32_give_up "apt cannot resolve wine32:i386: $(grep -m3 -E 'Depends|Breaks|Unable|E:' <<<"$sim" | tr -s ' \n' ' ')"
}

install_wine32 || wine32_give_up "the installation stopped unexpectedly"
echo "install-deps: all packages present"
