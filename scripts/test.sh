#!/usr/bin/env bash
# Builds everything (the Linux stub, both Windows stubs, the dolm tool, the
# tests) and runs every test through CTest. Installs missing packages first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/install-deps.sh
# Includes against the layer order of ARCHITECTURE.md fail the run at once.
bash scripts/check-layers.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# The whole native suite once more with AddressSanitizer and
# UndefinedBehaviorSanitizer: the stub, the tool and every test program are
# instrumented, and the fuzz corpus is replayed through them (no Windows stubs
# here; the Wine tests ran above).
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOLM_SANITIZE=ON \
      -DDOLM_WINDOWS_STUBS=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j"$jobs")

# Summary: test lines against code lines (the limit we keep to is printed).
bash scripts/test-ratio.sh || echo "note: the tests have grown past the limit"
