#!/usr/bin/env bash
# The main job on the bundled example: packs examples/demo into a Linux
# self-extractor with dolm, lists and tests it, then runs it. The
# self-extractor extracts, starts setup.sh, waits for it and removes what it
# extracted.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/install-deps.sh >/dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target dolm dolmsfx-linux >/dev/null

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/extract"

echo "== dolm pack"
build/dolm pack -o "$demo/demo-setup" --stub linux --window 64K \
  --exec setup.sh --args ../installed --delete-when-done --silent \
  examples/demo/setup.sh examples/demo/payload
ls -l "$demo/demo-setup"

echo "== dolm list"
build/dolm list "$demo/demo-setup"

echo "== dolm test"
build/dolm test "$demo/demo-setup"

echo "== running the self-extractor into $demo/extract"
"$demo/demo-setup" "$here/$demo/extract"
echo "exit code: $?"

echo "== afterwards"
echo "extraction folder (emptied by the clean-up):"
find "$demo/extract" | sort | sed 's/^/  /'
echo "installed by setup.sh:"
find "$demo/installed" -type f | sort | sed 's/^/  /'
