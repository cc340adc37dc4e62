#!/bin/sh
# The demo's setup program: the self-extractor starts it in the folder it
# extracted to, waits for it, and then removes what it extracted.
# $1 is the folder to "install" into (stored with the archive).
set -e
target=${1:-installed}
echo "setup.sh: running in $(pwd)"
echo "setup.sh: extracted files:"
find . -type f | sort | sed 's/^/  /'
mkdir -p "$target"
cp -R payload/. "$target/"
echo "setup.sh: installed $(find "$target" -type f | wc -l) files into $target"
