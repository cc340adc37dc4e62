#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and
# runs each for SECONDS, two at a time. Usage:
#   fuzz/run_fuzzers.sh SECONDS [TARGET ...]
# Each target works on a copy of its seed corpus (build-fuzz/work/<target>),
# keeps going after a finding (fork mode) and leaves the crashing inputs in
# build-fuzz/artifacts/<target>/ and its log in build-fuzz/logs/<target>.log.
# At the end each target's executions per second, its executions in all, its
# coverage (cov: edges, ft: features) and its findings are printed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: run_fuzzers.sh SECONDS [TARGET ...]}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(model_decoder splay_decoder solid_header block_reader stub_run examine)
fi
build=$here/build-fuzz
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DDOLM_WINDOWS_STUBS=OFF -DDOLM_FUZZ=ON >/dev/null
nice -n 19 cmake --build "$build" -j2 --target "${targets[@]/%/_fuzzer}" >/dev/null

run_one() {
  local t=$1
  local work=$build/work/$t art=$build/artifacts/$t/ log=$build/logs/$t.log
  mkdir -p "$work" "$art" "$build/logs"
  cp -n "$here/fuzz/corpus/$t/"* "$work/" 2>/dev/null || true
  local maxlen=4096
  case $t in stub_run|examine|block_reader) maxlen=16384 ;; esac
  # The fuzzer runs in a private folder; stdin is empty so that no question
  # could ever wait for an answer.
  (cd "$build" && ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=32 \
    nice -n 19 "$build/fuzz/${t}_fuzzer" -fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1 \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -max_len=$maxlen \
      -dict="$here/fuzz/dolm.dict" -artifact_prefix="$art" "$work" </dev/null >"$log" 2>&1) || true
}

i=0
for t in "${targets[@]}"; do
  run_one "$t" &
  i=$((i + 1))
  if [ $((i % 2)) -eq 0 ]; then wait; fi
done
wait

for t in "${targets[@]}"; do
  log=$build/logs/$t.log
  # Fork mode prints "#N: cov: C ft: F corp: ... exec/s: E ..." lines; the last one counts.
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  runs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last")
  speed=$(sed -nE 's/.*exec\/s: ([0-9]+).*/\1/p' <<<"$last")
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$last")
  crashes=$(ls "$build/artifacts/$t" 2>/dev/null | wc -l)
  printf '%-14s %6s exec/s  %10s runs  cov %5s  ft %6s  findings %s\n' "$t" "${speed:-?}" "${runs:-?}" \
    "${cov:-?}" "${ft:-?}" "$crashes"
done
