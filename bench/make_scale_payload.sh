#!/usr/bin/env bash
# Builds the scale payload: at least BUDGET bytes (default 1.1 GB, above
# 1 GiB) of mixed files, generated each time and never stored: copies of the
# benchmark payload (compressible: headers and DLLs; each copy lies 50 MB
# after the last, beyond every window, so it packs as the first did), each
# followed by 8 MiB of incompressible bytes (AES-CTR of zeros under a fixed
# key: the same bytes everywhere).
#
# Usage: make_scale_payload.sh OUTDIR PAYLOAD [BUDGET_BYTES]
#        (PAYLOAD: a folder made by make_payload.sh)
set -euo pipefail

out=${1:?usage: make_scale_payload.sh OUTDIR PAYLOAD [BUDGET_BYTES]}
payload=${2:?usage: make_scale_payload.sh OUTDIR PAYLOAD [BUDGET_BYTES]}
budget=${3:-1100000000}
export LC_ALL=C

if [ -e "$out" ] && [ -n "$(ls -A "$out" 2>/dev/null)" ]; then
  echo "make_scale_payload: $out exists and is not empty" >&2
  exit 1
fi
mkdir -p "$out"
copy_bytes=$(find "$payload" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
random_bytes=$((8 << 20))
total=0
for ((part = 0; total < budget; part++)); do
  name=$(printf 'part%02d' "$part")
  cp -r "$payload" "$out/$name"
  # (head ends the endless cipher stream; its broken pipe is no failure)
  head -c "$random_bytes" > "$out/$name/random.bin" \
    < <(openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$part")" -iv 0 < /dev/zero 2>/dev/null)
  total=$((total + copy_bytes + random_bytes))
done
find "$out" -exec touch -h -d '2020-01-01 00:00:00 UTC' {} +
echo "make_scale_payload: $out holds $(find "$out" -type f | wc -l) files, $total bytes"
