#!/usr/bin/env bash
# Prints non-blank lines of C and C++ under tests/ against those of the code
# (everything outside tests/, fuzz/ and bench/), and fails when the ratio is
# above the limit we keep to (0.36); prints the Wine shell tests' lines too.
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { grep -E '\.(c|cc|cpp|cxx|h|hh|hpp)$' | xargs -r cat | grep -cv '^[[:space:]]*$'; }
tests=$(git ls-files -co --exclude-standard -- tests | lines)
code=$(git ls-files -co --exclude-standard | grep -vE '^(tests|fuzz|bench)/' | lines)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.3f", t / c }')
echo "test lines / code lines: $tests / $code = $ratio (limit 0.36)"
# The Wine shell tests, beside the ratio (not part of it).
wine=$(git ls-files -co --exclude-standard -- 'tests/wine/*.sh' | xargs -r cat | grep -cv '^[[:space:]]*$' || true)
echo "Wine shell test lines (tests/wine/*.sh): $wine"
awk -v r="$ratio" 'BEGIN { exit !(r <= 0.36) }'
