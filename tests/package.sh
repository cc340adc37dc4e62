#!/usr/bin/env bash
# The Debian package of a finished build as a packager sees it: the files it
# holds, its manual pages as man renders them and compressed reproducibly,
# and no error from lintian when lintian is installed.
# Usage: package.sh BUILD_DIR
set -euo pipefail
build=$1
command -v dpkg-deb >/dev/null && command -v man >/dev/null || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The test run has built everything: cpack only stages and packs.
if ! (cd "$build" && cpack -G DEB -B "$work" -D CPACK_INSTALL_COMMANDS= >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log"
  exit 1
fi
dpkg-deb -x "$work"/dolm_*.deb "$work/root"
fail=0
for file in usr/bin/dolm usr/lib/dolm/dolmsfx-linux usr/share/doc/dolm/copyright \
            usr/share/doc/dolm/changelog.gz usr/share/man/man1/dolm.1.gz usr/share/man/man1/dolmsfx.1.gz \
            usr/share/bash-completion/completions/dolm; do
  [ -f "$work/root/$file" ] || { echo "not in the package: $file"; fail=1; }
done
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$work/root/usr/share/doc/dolm/copyright" || { echo "copyright is not in the machine-readable format"; fail=1; }
for page in dolm dolmsfx; do
  gz=$work/root/usr/share/man/man1/$page.1.gz
  # gzip -n: flags (no file name) and time in the header are zero.
  [ "$(od -An -tx1 -j3 -N5 "$gz" | tr -d ' \n')" = 0000000000 ] || { echo "$page.1.gz holds a name or a time"; fail=1; }
  text=$(MANWIDTH=80 man -l "$gz" 2>&1)
  for section in "EXIT STATUS" EXAMPLES ENVIRONMENT "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || { echo "$page(1) shows no $section section"; fail=1; }
  done
done
if command -v lintian >/dev/null; then
  lintian "$work"/dolm_*.deb >"$work/lintian.log" 2>&1 || true
  if grep '^E:' "$work/lintian.log"; then fail=1; fi
fi
exit $fail
