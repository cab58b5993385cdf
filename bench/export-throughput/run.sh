#!/usr/bin/env bash
# Export throughput beside cp, in one run on page-cached generated images,
# everything on tmpfs (/dev/shm unless TMPDIR says otherwise), so the figures
# are the program's own cost and not a disk's.
#
# Two images: "few large", a generated recorder disk (IMAGE_SIZE, default
# 512M) holding a few long recordings, and "many small", a dense image of
# SMALL_COUNT short recordings (default 16384, 1400 bytes each). For each:
# the single export (`corvotkl-cli scan IMG --export DIR`) and the merge
# (`--merge FILE`), timed by the CLI apart from the scan (its line
# "corvotkl-cli: exported K fragments to DIR: N of N bytes written in T s"),
# beside cp of one file of as many bytes and cp -r of the very files the
# export wrote. Printed as time ratios: export ÷ cp (lower is better; 1.00 is
# cp's speed). ROUNDS rounds (5), each running every contender once in turn;
# the least of each. Then the library-level benchmark on hand-built fragments.
#
# usage: bench/export-throughput/run.sh [BUILD_DIR] [IMAGE_SIZE]   (build, 512M)
#   SMALL_COUNT=65536 bench/export-throughput/run.sh
set -euo pipefail
BUILD=${1:-build}
SIZE=${2:-512M}
SMALL_COUNT=${SMALL_COUNT:-16384}
ROUNDS=${ROUNDS:-5}
CLI=$BUILD/bin/corvotkl-cli
GEN=$BUILD/bin/tkl-imagegen
DENSE=$BUILD/bin/bench_session_dense_image
LIB=$BUILD/bin/bench_export_throughput
for b in "$CLI" "$GEN" "$DENSE" "$LIB"; do
  [[ -x $b ]] || { echo "missing $b: cmake --build $BUILD --target corvotkl-cli tkl-imagegen bench_session_dense_image bench_export_throughput" >&2; exit 2; }
done

base=${TMPDIR:-/dev/shm}
[[ -d /dev/shm && -z ${TMPDIR:-} ]] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/corvo-export-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
fs=$(stat -f -c %T "$work")

# bytes and seconds from the CLI's summary line of KIND (exported or merged)
cli_run() {
  local img=$1 kind=$2; shift 2
  if ! "$CLI" scan "$img" "$@" >/dev/null 2>"$work/$kind.log"; then
    echo "corvotkl-cli failed:" >&2; cat "$work/$kind.log" >&2; exit 1
  fi
  grep -E "^corvotkl-cli: $kind [0-9]+ fragments " "$work/$kind.log" | tail -1 |
    sed -E 's/.*: ([0-9]+) of [0-9]+ bytes written in ([0-9.]+) s.*/\1 \2/'
}

lesser() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b == "" || a < b) print a; else print b }'; }

once() { # CMD... -> seconds
  local t0 t1
  t0=$(date +%s.%N); "$@"; t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.6f", b-a}'
}

measure() { # LABEL IMG
  local label=$1 img=$2 sbytes ssecs='' mbytes msecs='' nfiles cpfiles='' cps='' r
  cat "$img" >/dev/null   # page-cached from here on
  # Each round runs every contender once, one after another, so a slow
  # spell of the machine falls on all of them alike; the least of each.
  for ((round = 0; round < ROUNDS; round++)); do
    rm -rf "$work/single" "$work/merged.TKL" "$work/cp-dst"; mkdir -p "$work/single"
    read -r sbytes r < <(cli_run "$img" exported --export "$work/single")
    ssecs=$(lesser "$r" "$ssecs")
    nfiles=$(find "$work/single" -type f | wc -l)
    # cp of the very files the export wrote: the same creations, the same bytes
    cpfiles=$(lesser "$(once cp -r "$work/single" "$work/cp-dst")" "$cpfiles")
    rm -rf "$work/cp-dst" "$work/single"
    read -r mbytes r < <(cli_run "$img" merged --merge "$work/merged.TKL")
    msecs=$(lesser "$r" "$msecs")
    rm -f "$work/merged.TKL"
    [[ -f $work/cp-src.bin ]] || head -c "$sbytes" "$img" >"$work/cp-src.bin"
    cps=$(lesser "$(once cp "$work/cp-src.bin" "$work/cp-dst")" "$cps")
    rm -f "$work/cp-dst"
  done
  rm -f "$work/cp-src.bin"
  # the least these files cost one thread here: copy_file_range alone, then
  # with the .part name and the rename every export makes
  "$CLI" scan "$img" --json >"$work/list.json" 2>/dev/null
  read -r plain parted < <("$LIB" --floor "$img" "$work/list.json" "$work/floor")
  rm -f "$work/list.json"
  awk -v l="$label" -v n="$nfiles" -v sb="$sbytes" -v ss="$ssecs" -v mb="$mbytes" -v ms="$msecs" \
      -v cs="$cps" -v cf="$cpfiles" -v fp="$plain" -v fr="$parted" 'BEGIN {
    printf "%s: %d fragments, %d bytes\n", l, n, sb;
    printf "  cp, one file        %8.4f s  %8.1f MB/s\n", cs, sb / cs / 1e6;
    printf "  cp -r, the files    %8.4f s  %8.1f MB/s\n", cf, sb / cf / 1e6;
    printf "  one thread, the files %6.4f s  %8.1f MB/s  / cp = %.2f; with .part and rename %.4f s, / cp = %.2f\n", fp, sb / fp / 1e6, fp / cs, fr, fr / cs;
    printf "  single export       %8.4f s  %8.1f MB/s  export / cp = %.2f, / cp -r = %.2f\n", ss, sb / ss / 1e6, ss / cs, ss / cf;
    printf "  merge (one file)    %8.4f s  %8.1f MB/s  merge / cp = %.2f\n", ms, mb / ms / 1e6, ms / cs;
  }'
}

echo "on $fs ($work), the least of $ROUNDS rounds each; time ratios, 1.00 = cp"
"$GEN" --size "$SIZE" --seed 1 --out "$work/large.img" >/dev/null
measure "few large ($SIZE generated image)" "$work/large.img"
rm -f "$work/large.img"
"$DENSE" "$work/small.img" 1024 "$SMALL_COUNT" >/dev/null
measure "many small (1 GiB, $SMALL_COUNT recordings)" "$work/small.img"
rm -f "$work/small.img"

echo
echo "library, hand-built fragments of 4-40 MiB:"
"$LIB" --size 512 --dir "$work" 2>/dev/null
