#!/usr/bin/env bash
# Packs and extracts the benchmark payload (bench/make_payload.sh) with dolm
# at levels 1, 6 and 9 (size profile 8192K, Linux stub, extraction with -s into
# an empty folder), and the same payload as one tar with gzip -9, bzip2 -9 and
# xz -6; prints one table of sizes, best-of-N times, ratios against the three
# and peak memory (maximum resident set size from /usr/bin/time). Each dolm
# archive is also carried by the plain stub (bench/dolmsfx-linux-plain, the
# same stub with the decoding steps done one by one as they are written: the
# step-by-step decoder, the byte-at-a-time CRC and the byte-by-byte expansion)
# and extracted with it, in turns with the real stub; u/plain is the real
# stub's extraction time over the plain one's, both on one stage
# (DOLM_STAGES=1: one thread reads, decodes and writes), so that it compares
# the decoding steps and not how two threads share them out.
#
# Usage: bench/run.sh [BUILD_DIR]      (default: build)
# Environment: RUNS (timed runs per figure, default 3), EXTRACT_RUNS (turns
# of the extraction comparison, default 7), WORK (work folder,
# default BUILD_DIR/bench-run), LEVELS (default "1 6 9"), OUT (the folder the
# self-extractors extract into, made empty before each run; default a folder
# in /dev/shm when there is one, else WORK/out), SCALE_LEVELS (levels of the
# scale rows, each also in LEVELS; default "1 6 9"; empty: no scale rows),
# SCALE_BYTES (size of the scale payload, default 1,100,000,000).
# CHECK_ROW (default 1; 0: none): the check row, what reading an archive with
# the extension record whole before writing costs against decode-only.
#
# WINE_ROW (default 1; 0: none; "only": this row alone): the Wine row packs
# the payload at level 6 (--classic) behind each Windows stub and extracts it under Wine,
# the 32-bit stub under the 32-bit loader and the 64-bit stub under wine64, in
# turns (WINE_RUNS, default 9), in the prefix BUILD_DIR/wineprefix (made by
# the Wine tests, or here); win32/win64 is the best 32-bit time over the best
# 64-bit time.
#
# The peer rows (PEER_RUNS turns, default EXTRACT_RUNS; PEERS=0: none) pack
# the payload as other self-extractors, each where its package is there: the
# 7-Zip console SFX module (/usr/lib/p7zip/7zCon.sfx from p7zip-full, -mx9)
# and makeself with gzip and with xz (level 9, its default checks), and
# extract them into the same folder in turns with the dolm stubs of levels 6
# and 9 and with the level-6 stub on one processor (taskset -c 0; in the
# table only); dolm/peer is dolm's best time over the fastest peer's.
#
# The scale rows pack a generated payload of more than 1 GiB
# (bench/make_scale_payload.sh, made in WORK and removed again) once per
# level and extract it once, to set cost per MB and packer memory against
# the benchmark payload's.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
extract_runs=${EXTRACT_RUNS:-7}
work=${WORK:-$build/bench-run}
levels=${LEVELS:-1 6 9}
dolm=$build/dolm
stub=$build/stubs/dolmsfx-linux
plain=$build/bench/dolmsfx-linux-plain
portable=$build/bench/dolmsfx-linux-portable
for f in "$dolm" "$stub" "$plain" "$portable" /usr/bin/time; do
  [ -x "$f" ] || { echo "run.sh: $f is missing (build the dolm, dolmsfx-linux, dolmsfx-linux-plain and dolmsfx-linux-portable targets)" >&2; exit 1; }
done
# The archive part of a .sfx is everything behind the stub's bytes.
stub_bytes=$(stat -c %s "$stub")

mkdir -p "$work"
payload=$work/payload
# The extraction folder: in memory (/dev/shm) when there is one, so that the
# figures hold the stubs' work and not the disk's; OUT chooses another place.
if [ -n "${OUT:-}" ]; then outdir=$OUT
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then outdir=/dev/shm/dolm-bench-$$
else outdir=$work/out; fi
trap 'rm -rf "$outdir"' EXIT
if [ ! -d "$payload" ]; then "$here/make_payload.sh" "$payload" >&2; fi

# timed LABEL CMD...: runs CMD $runs times (its output to /dev/null); sets
# best (seconds) and peak (KiB, largest of the runs). `prepare`, when set, is
# run before every run (not timed). The seconds are the shell's clock around
# /usr/bin/time (microseconds; time's own figure has 10 ms steps, a few
# percent of the shorter runs), the peak is time's.
prepare=
timed() {
  local label=$1; shift
  local start end
  best=; peak=0
  for ((i = 0; i < runs; i++)); do
    if [ -n "$prepare" ]; then eval "$prepare"; fi
    start=$EPOCHREALTIME
    /usr/bin/time -f '%M' -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" ||
      { echo "run.sh: $label failed:" >&2; cat "$work/err.txt" >&2; exit 1; }
    end=$EPOCHREALTIME
    secs=$(awk "BEGIN{printf \"%.4f\", $end - $start}")
    read -r kib < "$work/time.txt"
    if [ -z "$best" ] || awk "BEGIN{exit !($secs < $best)}"; then best=$secs; fi
    if [ "$kib" -gt "$peak" ]; then peak=$kib; fi
  done
}

declare -A size pack unpack packmem unpackmem unpackplain unpackone unpackxz unpackport

# One target line: the value, its limit, and whether it is met.
check() {  # LABEL VALUE LIMIT
  awk -v l="$1" -v v="$2" -v m="$3" 'BEGIN {
    printf "  %-44s %10.3f  limit %10.3f  %s\n", l, v, m, (v <= m ? "met" : "NOT MET") }'
}

# ---- the Wine row: the 32-bit stub against the 64-bit one --------------------
wine_row() {
  local wine64=/usr/lib/wine/wine64 wine32=/usr/lib/wine/wine arch turn
  local -A loader=([win32]=$wine32 [win64]=$wine64) best_of
  for f in "$wine64" "$wine32" "$build/stubs/dolmsfx-win32.exe" "$build/stubs/dolmsfx-win64.exe"; do
    [ -x "$f" ] || [ -f "$f" ] || { echo "run.sh: wine row: $f is missing" >&2; return 1; }
  done
  export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
  WINE=$wine64 WINE32=$wine32 bash "$here/../tests/wine/setup_prefix.sh" >&2
  "$(dirname "$wine64")/wineserver" -p  # kept running between the turns
  local outwin="Z:${outdir//\//\\}"
  for arch in win32 win64; do
    "$dolm" pack -o "$work/wine-$arch.exe" --stub "$build/stubs/dolmsfx-$arch.exe" --window 8192K \
      --level 6 --silent --classic "$payload" >/dev/null
  done
  local all_runs=$runs; runs=1
  prepare="rm -rf '$outdir' && mkdir '$outdir'"
  for ((turn = 0; turn < ${WINE_RUNS:-9}; turn++)); do
    for arch in win32 win64; do
      timed "wine $arch extract" "${loader[$arch]}" "$work/wine-$arch.exe" -s "$outwin"
      if [ "$turn" = 0 ] && ! diff -r "$payload" "$outdir/payload" >/dev/null; then
        echo "run.sh: wine row: the files extracted by the $arch stub differ from the payload" >&2
        return 1
      fi
      if [ -z "${best_of[$arch]:-}" ] || awk "BEGIN{exit !($best < ${best_of[$arch]})}"; then best_of[$arch]=$best; fi
    done
  done
  runs=$all_runs; prepare=
  "$(dirname "$wine64")/wineserver" -k || true
  rm -rf "$outdir"
  wine32_s=${best_of[win32]}; wine64_s=${best_of[win64]}
  echo "wine: level 6, best of ${WINE_RUNS:-9} turns: win32 ${wine32_s} s, win64 ${wine64_s} s," \
       "win32/win64 $(awk "BEGIN{printf \"%.3f\", $wine32_s / $wine64_s}")"
}
wine32_s=
if [ "${WINE_ROW:-1}" != 0 ]; then
  wine_row || echo "run.sh: the Wine row was not run" >&2
  if [ "${WINE_ROW:-1}" = only ]; then
    [ -n "$wine32_s" ] || exit 1
    check "win32 / win64 extraction under Wine" "$(awk "BEGIN{print $wine32_s / $wine64_s}")" 1.15
    exit
  fi
fi

# ---- the tar baselines -----------------------------------------------------
tarball=$work/payload.tar
tar -C "$payload" --sort=name --mtime=@1577836800 --owner=0 --group=0 --numeric-owner \
    -cf "$tarball" .
for tool in gzip bzip2 xz; do
  case $tool in
    gzip) args=(-9); ext=gz ;;
    bzip2) args=(-9); ext=bz2 ;;
    xz) args=(-6 -T1); ext=xz ;;
  esac
  out=$tarball.$ext
  timed "$tool" sh -c "$tool ${args[*]} -c '$tarball' > '$out'"
  pack[$tool]=$best; packmem[$tool]=$peak
  size[$tool]=$(stat -c %s "$out")
  timed "$tool -d" "$tool" -d -c "$out"
  unpack[$tool]=$best; unpackmem[$tool]=$peak
  echo "run.sh: $tool done" >&2
done

# ---- dolm ------------------------------------------------------------------
for level in $levels; do
  name=dolm-$level
  sfx=$work/$name.sfx
  # Without the extension record (--classic): these rows time the engine; what
  # the record's check before writing adds is the check row's.
  timed "$name pack" "$dolm" pack -o "$sfx" --stub "$stub" --window 8192K --level "$level" --classic "$payload"
  pack[$name]=$best; packmem[$name]=$peak
  size[$name]=$(stat -c %s "$sfx")
  # The same archive behind the plain stub.
  plainsfx=$work/$name-plain.sfx
  cmp -s -n "$stub_bytes" "$stub" "$sfx" ||
    { echo "run.sh: $name: $sfx does not begin with the stub" >&2; exit 1; }
  { cat "$plain"; tail -c +$((stub_bytes + 1)) "$sfx"; } > "$plainsfx"
  chmod +x "$plainsfx"
  # And behind the stub with the portable decoder alone.
  portsfx=$work/$name-portable.sfx
  { cat "$portable"; tail -c +$((stub_bytes + 1)) "$sfx"; } > "$portsfx"
  chmod +x "$portsfx"
  # The two stubs and xz -d take turns, so that all three meet the machine in
  # the same state; each extraction must give back the payload byte for byte.
  all_runs=$runs; runs=1
  unpack[$name]=; unpackplain[$name]=; unpackone[$name]=; unpackxz[$name]=; unpackport[$name]=; unpackmem[$name]=0
  for ((turn = 0; turn < extract_runs; turn++)); do
    for which in stub one plain portable xz; do
      prepare="rm -rf '$outdir' && mkdir '$outdir'"
      case $which in
        stub) timed "$name extract" "$sfx" -s "$outdir"; keep=unpack ;;
        one) timed "$name extract (one stage)" env DOLM_STAGES=1 "$sfx" -s "$outdir"; keep=unpackone ;;
        plain) timed "$name extract (plain stub)" env DOLM_STAGES=1 "$plainsfx" -s "$outdir"; keep=unpackplain ;;
        portable) timed "$name extract (portable decoder)" "$portsfx" -s "$outdir"; keep=unpackport ;;
        xz) prepare=; timed "xz -d" xz -d -c "$tarball.xz"; keep=unpackxz ;;
      esac
      if [ "$turn" = 0 ] && [ $which != xz ] && ! diff -r "$payload" "$outdir/payload" >/dev/null; then
        echo "run.sh: $name: the files extracted by the $which stub differ from the payload" >&2
        exit 1
      fi
      declare -n slot=$keep
      if [ -z "${slot[$name]}" ] || awk "BEGIN{exit !($best < ${slot[$name]})}"; then slot[$name]=$best; fi
      unset -n slot
      if [ $which = stub ] && [ "$peak" -gt "${unpackmem[$name]}" ]; then unpackmem[$name]=$peak; fi
    done
  done
  runs=$all_runs
  prepare=
  rm -rf "$outdir"
  echo "run.sh: $name done" >&2
done

# ---- the check row: what checking an archive whole before writing costs --------
# The payload at level 6 with the extension record (dolm pack's default: the
# stub reads every block before it writes the first file) and without it
# (--classic), each extracted by the Linux stub, and the record's archive read
# with --check (decode only, nothing written), in turns. The check's cost is
# the record's extraction time less the classic one's, against decode-only.
declare -A checkbest
if [ "${CHECK_ROW:-1}" != 0 ]; then
  "$dolm" pack -o "$work/check-record.sfx" --stub "$stub" --window 8192K --level 6 "$payload" >/dev/null
  "$dolm" pack -o "$work/check-classic.sfx" --stub "$stub" --window 8192K --level 6 --classic "$payload" >/dev/null
  all_runs=$runs; runs=1
  for ((turn = 0; turn < extract_runs; turn++)); do
    for which in record classic decode; do
      prepare="rm -rf '$outdir' && mkdir '$outdir'"
      case $which in
        record) timed "extract with the record" "$work/check-record.sfx" -s "$outdir" ;;
        classic) timed "extract without it" "$work/check-classic.sfx" -s "$outdir" ;;
        decode) prepare=; timed "decode only" "$work/check-record.sfx" --check ;;
      esac
      if [ "$turn" = 0 ] && [ $which != decode ] && ! diff -r "$payload" "$outdir/payload" >/dev/null; then
        echo "run.sh: check row: the files extracted from the $which archive differ from the payload" >&2
        exit 1
      fi
      if [ -z "${checkbest[$which]:-}" ] || awk "BEGIN{exit !($best < ${checkbest[$which]})}"; then checkbest[$which]=$best; fi
    done
  done
  runs=$all_runs; prepare=
  rm -rf "$outdir"
  echo "run.sh: check row done" >&2
fi

# ---- the peer rows: other self-extractors on the same payload ----------------
declare -A peerfile peerbuild peerrun peerbest peersize peermem
sevenzip_sfx=/usr/lib/p7zip/7zCon.sfx
if [ "${PEERS:-1}" != 0 ] && [ -f "$sevenzip_sfx" ] && command -v 7z >/dev/null; then
  peerfile[7z-sfx]=$work/peer-7z.sfx
  peerbuild[7z-sfx]="7z a -bd -mx9 -sfx$sevenzip_sfx '$work/peer-7z.sfx' '$payload'"
  peerrun[7z-sfx]="'$work/peer-7z.sfx' -y -o'$outdir'"
fi
if [ "${PEERS:-1}" != 0 ] && command -v makeself >/dev/null; then
  for z in gzip xz; do
    peerfile[makeself-$z]=$work/peer-makeself-$z.run
    peerbuild[makeself-$z]="makeself --$z --complevel 9 --quiet '$payload' '$work/peer-makeself-$z.run' payload true"
    peerrun[makeself-$z]="'$work/peer-makeself-$z.run' --noexec --nox11 --quiet --target '$outdir/payload'"
  done
fi
peers=$(printf '%s\n' "${!peerrun[@]}" | sort)
one_cpu=
if command -v taskset >/dev/null && [ -f "$work/dolm-6.sfx" ]; then one_cpu="taskset -c 0 '$work/dolm-6.sfx' -s '$outdir'"; fi
if [ -n "$peers" ]; then
  for p in $peers; do
    rm -f "${peerfile[$p]}"  # 7z would add to an archive already there
    eval "${peerbuild[$p]}" >/dev/null
    chmod +x "${peerfile[$p]}"
    peersize[$p]=$(stat -c %s "${peerfile[$p]}")
    peermem[$p]=0
  done
  all_runs=$runs; runs=1
  prepare="rm -rf '$outdir' && mkdir '$outdir'"
  dolm_turns=$(for l in $levels; do case $l in 6|9) echo "dolm-$l" ;; esac; done)
  for ((turn = 0; turn < ${PEER_RUNS:-$extract_runs}; turn++)); do
    for p in $dolm_turns ${one_cpu:+dolm-6-1cpu} $peers; do
      case $p in
        dolm-6-1cpu) timed "$p extract" sh -c "$one_cpu" ;;
        dolm-*) timed "$p extract" "$work/$p.sfx" -s "$outdir" ;;
        *) timed "$p extract" sh -c "${peerrun[$p]}" ;;
      esac
      if [ "$turn" = 0 ] && ! diff -r "$payload" "$outdir/payload" >/dev/null; then
        echo "run.sh: $p: the extracted files differ from the payload" >&2
        exit 1
      fi
      if [ -z "${peerbest[$p]:-}" ] || awk "BEGIN{exit !($best < ${peerbest[$p]})}"; then peerbest[$p]=$best; fi
      if [ "$peak" -gt "${peermem[$p]:-0}" ]; then peermem[$p]=$peak; fi
    done
  done
  runs=$all_runs; prepare=
  rm -rf "$outdir"
  fastest=
  for p in $peers; do
    if [ -z "$fastest" ] || awk "BEGIN{exit !(${peerbest[$p]} < ${peerbest[$fastest]})}"; then fastest=$p; fi
  done
  echo "run.sh: peers done" >&2
fi

# ---- the scale rows: the same levels on more than 1 GiB -------------------------
# Only levels that also have a row of their own on the benchmark payload.
scale_levels=$(for l in ${SCALE_LEVELS-1 6 9}; do case " $levels " in *" $l "*) echo "$l" ;; esac; done)
declare -A scalepack scaleunpack scalemem partpack
if [ -n "$scale_levels" ]; then
  scale=$work/scale-payload
  rm -rf "$scale"
  trap 'rm -rf "$outdir" "$scale" "$work"/scale-*.sfx' EXIT
  "$here/make_scale_payload.sh" "$scale" "$payload" "${SCALE_BYTES:-1100000000}" >&2
  scale_bytes=$(find "$scale" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
  all_runs=$runs; runs=1
  part_bytes=$(find "$scale/part00" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
  for level in $scale_levels; do
    sfx=$work/scale-$level.sfx
    # Its first part alone: the same mix of files at the benchmark's size.
    timed "scale part pack $level" "$dolm" pack -o "$sfx" --stub "$stub" --window 8192K --level "$level" --classic "$scale/part00"
    partpack[$level]=$best
    timed "scale pack $level" "$dolm" pack -o "$sfx" --stub "$stub" --window 8192K --level "$level" --classic "$scale"
    scalepack[$level]=$best; scalemem[$level]=$peak
    prepare="rm -rf '$outdir' && mkdir '$outdir'"
    timed "scale extract $level" "$sfx" -s "$outdir"
    prepare=
    scaleunpack[$level]=$best
    diff -r "$scale" "$outdir/scale-payload" >/dev/null ||
      { echo "run.sh: scale-$level: the extracted files differ from the payload" >&2; exit 1; }
    rm -rf "$outdir" "$sfx"
    echo "run.sh: scale-$level done" >&2
  done
  runs=$all_runs
  rm -rf "$scale"
fi

# ---- the table ---------------------------------------------------------------
payload_bytes=$(find "$payload" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
echo "payload: $payload_bytes bytes in $(find "$payload" -type f | wc -l) files; best of $runs runs" \
     "(extractions: best of $extract_runs turns of stub, stub on one stage, plain stub on one stage, portable-decoder stub and xz -d);" \
     "extraction into $(dirname "$outdir") ($(stat -f -c %T "$(dirname "$outdir")"))"
printf '%-8s %11s %6s %6s %6s %6s %8s %8s %6s %6s %6s %8s %7s %9s %9s\n' \
  method bytes /in /gz /bz2 /xz pack_s unpack_s u/gz u/bz2 u/xz plain_s u/plain pack_KiB unpk_KiB
for name in gzip bzip2 xz $(for l in $levels; do echo dolm-$l; done); do
  awk -v n="$name" -v s="${size[$name]}" -v total="$payload_bytes" \
      -v gz="${size[gzip]}" -v bz="${size[bzip2]}" -v xz="${size[xz]}" \
      -v p="${pack[$name]}" -v u="${unpack[$name]}" \
      -v ugz="${unpack[gzip]}" -v ubz="${unpack[bzip2]}" -v uxz="${unpack[xz]}" \
      -v up="${unpackplain[$name]:-}" -v uo="${unpackone[$name]:-}" -v uxl="${unpackxz[$name]:-}" \
      -v pm="${packmem[$name]}" -v um="${unpackmem[$name]}" 'BEGIN {
    # plain_s and u/plain only for the dolm rows ("-" elsewhere).
    ps = (up == "" ? "-" : sprintf("%.2f", up))
    pr = (up == "" ? "-" : (up > 0 ? sprintf("%.2f", uo / up) : "0.00"))
    # u/xz of the dolm rows: against xz -d timed in the same turns.
    if (uxl != "") uxz = uxl
    printf "%-8s %11d %6.3f %6.3f %6.3f %6.3f %8.2f %8.2f %6.2f %6.2f %6.2f %8s %7s %9d %9d\n",
      n, s, s / total, s / gz, s / bz, s / xz, p, u,
      (ugz > 0 ? u / ugz : 0), (ubz > 0 ? u / ubz : 0), (uxz > 0 ? u / uxz : 0), ps, pr, pm, um
  }'
done

if [ -n "$scale_levels" ]; then
  echo "scale: $scale_bytes bytes against the payload's $payload_bytes; one run each" \
       "(the payload's figures: best of $runs); seconds per MB (10^6 bytes)"
  echo "(part_s/MB: its first part alone, $part_bytes bytes of the same mix)"
  printf '%-8s %10s %10s %10s %10s %10s %9s %9s\n' \
    method pack_s/MB part_s/MB big_s/MB unpk_s/MB big_s/MB pack_KiB big_KiB
  for level in $scale_levels; do
    awk -v n="dolm-$level" -v small="$payload_bytes" -v big="$scale_bytes" -v part="$part_bytes" \
        -v p="${pack[dolm-$level]}" -v pp="${partpack[$level]}" -v bp="${scalepack[$level]}" \
        -v u="${unpack[dolm-$level]}" -v bu="${scaleunpack[$level]}" \
        -v pm="${packmem[dolm-$level]}" -v bm="${scalemem[$level]}" 'BEGIN {
      printf "%-8s %10.4f %10.4f %10.4f %10.4f %10.4f %9d %9d\n", n, p / small * 1e6,
        pp / part * 1e6, bp / big * 1e6, u / small * 1e6, bu / big * 1e6, pm, bm }'
  done
fi

if [ -n "${checkbest[record]:-}" ]; then
  echo "check: level 6, best of $extract_runs turns; extraction with the record (checked whole first)," \
       "without it (--classic), and decode only (--check)"
  printf '%-10s %10s %10s %10s %10s %12s\n' method record_s classic_s decode_s check_s check/decode
  awk -v r="${checkbest[record]}" -v c="${checkbest[classic]}" -v d="${checkbest[decode]}" 'BEGIN {
    printf "%-10s %10.3f %10.3f %10.3f %10.3f %12.3f\n", "dolm-6", r, c, d, r - c, (r - c) / d }'
fi

if [ -n "$peers" ]; then
  echo "peers: extraction into the same folder, best of ${PEER_RUNS:-$extract_runs} turns with the dolm stubs;" \
       "dolm/peer: against the fastest peer ($fastest)"
  printf '%-12s %11s %6s %8s %9s %9s\n' method bytes /in unpack_s dolm/peer unpk_KiB
  for p in $dolm_turns ${one_cpu:+dolm-6-1cpu} $peers; do
    bytes=${peersize[$p]:-${size[${p%-1cpu}]}}
    awk -v n="$p" -v s="$bytes" -v total="$payload_bytes" -v u="${peerbest[$p]}" -v f="${peerbest[$fastest]}" \
        -v m="${peermem[$p]}" -v dolm="$(case $p in dolm-*) echo 1 ;; esac)" 'BEGIN {
      printf "%-12s %11d %6.3f %8.3f %9s %9d\n", n, s, s / total, u, (dolm ? sprintf("%.3f", u / f) : "-"), m }'
  done
fi

# ---- the targets, each a ratio from this run ------------------------------------
# Memory budgets for the 8192K profile: the stub may use its decoder memory
# (the window buffer of 2 x 8 MiB and 576 KiB of fixed buffers) plus 2 MiB;
# the packer 12 x the window plus 64 MiB.
window_kib=8192
stub_budget=$((2 * window_kib + 576 + 2048))
packer_budget=$((12 * window_kib + 64 * 1024))
echo "targets:"
default_level=6
best_level=${levels##* }
for level in $levels; do
  name=dolm-$level
  check "$name extraction time / xz -d (same turns)" "$(awk "BEGIN{print ${unpack[$name]} / ${unpackxz[$name]}}")" \
    "$(case $level in 6|9) echo 0.6 ;; *) echo 1 ;; esac)"
  if [ -n "$peers" ] && [ -n "${peerbest[$name]:-}" ]; then
    check "$name extraction time / fastest peer ($fastest)" "$(awk "BEGIN{print ${peerbest[$name]} / ${peerbest[$fastest]}}")" 0.8
  fi
  check "$name extraction time / plain stub (one stage)" "$(awk "BEGIN{print ${unpackone[$name]} / ${unpackplain[$name]}}")" 0.5
  check "$name portable decoder extraction / xz -d" "$(awk "BEGIN{print ${unpackport[$name]} / ${unpackxz[$name]}}")" 1
  check "$name stub peak KiB" "${unpackmem[$name]}" "$stub_budget"
  check "$name packer peak KiB" "${packmem[$name]}" "$packer_budget"
done
if [ -n "${peerbest[dolm-$default_level-1cpu]:-}" ] && [ -n "${unpackone[dolm-$default_level]:-}" ]; then
  # One processor gives one stage: the same work as DOLM_STAGES=1.
  check "dolm-$default_level on one processor / one stage" \
    "$(awk "BEGIN{print ${peerbest[dolm-$default_level-1cpu]} / ${unpackone[dolm-$default_level]}}")" 1.03
fi
if [ -n "${size[dolm-$default_level]:-}" ]; then
  check "dolm-$default_level size / gzip -9" "$(awk "BEGIN{print ${size[dolm-$default_level]} / ${size[gzip]}}")" 1
  check "dolm-$default_level pack time / xz -6" "$(awk "BEGIN{print ${pack[dolm-$default_level]} / ${pack[xz]}}")" 1
fi
check "dolm-$best_level size / bzip2 -9" "$(awk "BEGIN{print ${size[dolm-$best_level]} / ${size[bzip2]}}")" 1
for level in $scale_levels; do
  check "dolm-$level packer peak KiB on the 1 GiB payload" "${scalemem[$level]}" "$packer_budget"
  check "dolm-$level pack time per MB, 1 GiB / 50 MB payload" \
    "$(awk "BEGIN{print (${scalepack[$level]} / $scale_bytes) / (${pack[dolm-$level]} / $payload_bytes)}")" 1.2
  check "dolm-$level pack time per MB, 1 GiB / its first part" \
    "$(awk "BEGIN{print (${scalepack[$level]} / $scale_bytes) / (${partpack[$level]} / $part_bytes)}")" 1.2
done
check "dolm-$best_level size / xz -6" "$(awk "BEGIN{print ${size[dolm-$best_level]} / ${size[xz]}}")" 1.15
check "dolm-$best_level pack time / xz -6" "$(awk "BEGIN{print ${pack[dolm-$best_level]} / ${pack[xz]}}")" 2
if [ -n "${checkbest[record]:-}" ]; then
  check "check before writing / decode only (level 6)" \
    "$(awk "BEGIN{print (${checkbest[record]} - ${checkbest[classic]}) / ${checkbest[decode]}}")" 1.5
fi
if [ -n "$wine32_s" ]; then
  check "win32 / win64 extraction under Wine" "$(awk "BEGIN{print $wine32_s / $wine64_s}")" 1.15
fi
