#!/usr/bin/env bash
# Checks that every include goes downwards: reads the layer table of
# ARCHITECTURE.md (folder, and the folders it includes from) and fails,
# naming file and line, for each #include "folder/..." that the table does not
# allow. A folder always includes its own headers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
table="$root/ARCHITECTURE.md"

declare -A allowed
# Table rows: | `folder/` | `a/`, `b/` (or —) | ... |
while IFS='|' read -r _ folder includes _; do
  folder=$(tr -d ' `/' <<<"$folder")
  allowed[$folder]=" $( (grep -o '`[a-z_]*/`' <<<"$includes" || true) | tr -d '`/' | tr '\n' ' ')"
done < <(grep -E '^\| `[a-z_]+/` \|' "$table")
if [ "${#allowed[@]}" -eq 0 ]; then
  echo "check-layers: no layer table found in $table" >&2
  exit 1
fi

status=0
for folder in "${!allowed[@]}"; do
  [ -d "$root/$folder" ] || continue
  while IFS=: read -r file line target; do
    [ -n "$file" ] || continue
    if [ "$target" != "$folder" ] && [[ "${allowed[$folder]} " != *" $target "* ]]; then
      echo "check-layers: ${file#$root/}:$line includes $target/, which $folder/ may not include" >&2
      status=1
    fi
  done < <(grep -HnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_]+/' \
             "$root/$folder"/*.cpp "$root/$folder"/*.h "$root/$folder"/*.c 2>/dev/null |
           sed -E 's|:[[:space:]]*#[[:space:]]*include[[:space:]]*"([a-z_]+)/$|:\1|')
done
[ "$status" -eq 0 ] && echo "check-layers: every include follows the layer table"
exit "$status"
