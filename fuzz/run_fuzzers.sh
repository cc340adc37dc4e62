#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and
# runs each for SECONDS, FUZZ_JOBS at a time (default 2), at niceness
# FUZZ_NICE (default 19). Usage:
#   fuzz/run_fuzzers.sh SECONDS [TARGET ...]
# Each target works on a copy of its seed corpus (build-fuzz/work/<target>)
# in one process; after a finding (crash, timeout, out of memory) it is
# started again on the grown corpus until its time is up. The findings are
# left in build-fuzz/artifacts/<target>/, the logs in build-fuzz/logs/.
# At the end each target's executions per second (all its executions over
# its wall time, and over the processor time it had), its executions, its
# coverage (cov: edges, ft: features) and its findings are printed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: run_fuzzers.sh SECONDS [TARGET ...]}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(model_decoder splay_decoder solid_header block_reader stub_run examine pe_resources posix_args extension_record)
fi
build=$here/build-fuzz
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DDOLM_WINDOWS_STUBS=OFF -DDOLM_FUZZ=ON >/dev/null
nice -n 19 cmake --build "$build" -j2 --target "${targets[@]/%/_fuzzer}" >/dev/null

# The processor time of each session (user + system), when /usr/bin/time is there.
timer=(/usr/bin/time -f "%U %S")
[ -x /usr/bin/time ] || timer=(env)

run_one() {
  local t=$1
  local work=$build/work/$t art=$build/artifacts/$t/ logs=$build/logs/$t
  rm -rf "$logs"
  mkdir -p "$work" "$art" "$logs"
  cp -n "$here/fuzz/corpus/$t/"* "$work/" 2>/dev/null || true
  local maxlen=4096
  case $t in stub_run|examine|block_reader) maxlen=16384 ;; esac
  local start=$SECONDS n=0
  while [ $((SECONDS - start)) -lt "$seconds" ]; do
    n=$((n + 1))
    # The fuzzer runs in a private folder; stdin is empty so that no question
    # could ever wait for an answer. A small quarantine lets the allocator
    # reuse the memory of earlier inputs (a use after free within one input
    # is still caught).
    (cd "$build" && ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=32 \
      "${timer[@]}" -o "$logs/cpu.$n" nice -n "${FUZZ_NICE:-19}" "$build/fuzz/${t}_fuzzer" -max_total_time=$((seconds - (SECONDS - start))) \
        -timeout=10 -rss_limit_mb=2560 -max_len=$maxlen -print_final_stats=1 \
        -dict="$here/fuzz/dolm.dict" -artifact_prefix="$art" "$work" </dev/null >"$logs/$n.log" 2>&1) || true
  done
  echo $((SECONDS - start)) >"$logs/seconds"
}

i=0
for t in "${targets[@]}"; do
  run_one "$t" &
  i=$((i + 1))
  if [ $((i % ${FUZZ_JOBS:-2})) -eq 0 ]; then wait; fi
done
wait

for t in "${targets[@]}"; do
  logs=$build/logs/$t
  runs=$(cat "$logs"/*.log | sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' | awk '{s += $1} END {print s + 0}')
  wall=$(cat "$logs/seconds")
  # The last status line of the last session: "#N ... cov: C ft: F ...".
  last=$(cat $(ls "$logs"/*.log | sort -V) | grep -E '^#[0-9]+' | tail -1 || true)
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$last")
  crashes=$(ls "$build/artifacts/$t" 2>/dev/null | wc -l)
  # Executions per second of processor time: what the target does whatever
  # else the machine runs.
  cpu=$(cat "$logs"/cpu.* 2>/dev/null | awk 'NF == 2 && $1 ~ /^[0-9.]+$/ {s += $1 + $2} END {if (s > 0) printf "%d", s}')
  per_cpu="?"
  [ -n "$cpu" ] && [ "$cpu" -gt 0 ] && per_cpu=$((runs / cpu))
  printf '%-14s %6d exec/s (%6s per cpu-s)  %10d runs in %5d s  cov %5s  ft %6s  findings %s\n' "$t" \
    $((runs / (wall > 0 ? wall : 1))) "$per_cpu" "$runs" "$wall" "${cov:-?}" "${ft:-?}" "$crashes"
done
