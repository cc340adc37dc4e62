#!/usr/bin/env bash
# Prints non-blank lines of C and C++ under tests/ against those of the code
# (everything outside tests/, fuzz/ and bench/), and fails when the ratio is
# above the limit we keep to (0.36).
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { grep -E '\.(c|cc|cpp|cxx|h|hh|hpp)$' | xargs -r cat | grep -cv '^[[:space:]]*$'; }
tests=$(git ls-files -co --exclude-standard -- tests | lines)
code=$(git ls-files -co --exclude-standard | grep -vE '^(tests|fuzz|bench)/' | lines)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.3f", t / c }')
echo "test lines / code lines: $tests / $code = $ratio (limit 0.36)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 0.36) }'
