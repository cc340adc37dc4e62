#!/usr/bin/env bash
# Builds everything (the Linux stub, both Windows stubs, the dolm tool, the
# tests) and runs every test through CTest. Installs missing packages first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
