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
# cp's speed). Best of three runs each. Then the library-level benchmark on
# hand-built fragments.
#
# usage: bench/export-throughput/run.sh [BUILD_DIR] [IMAGE_SIZE]   (build, 512M)
#   SMALL_COUNT=65536 bench/export-throughput/run.sh
set -euo pipefail
BUILD=${1:-build}
SIZE=${2:-512M}
SMALL_COUNT=${SMALL_COUNT:-16384}
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

best() { # IMG KIND ARGS... -> "bytes seconds" of the fastest of three runs
  local img=$1 kind=$2; shift 2
  local b='' s='' r
  for _ in 1 2 3; do
    rm -rf "$work/single" "$work/merged.TKL"; mkdir -p "$work/single"
    r=$(cli_run "$img" "$kind" "$@")
    if [[ -z $s ]] || awk -v a="${r#* }" -v b="$s" 'BEGIN{exit !(a<b)}'; then b=${r% *}; s=${r#* }; fi
  done
  echo "$b $s"
}

timed() { # CMD... -> seconds of the fastest of three runs (target removed before each)
  local best='' t t0 t1
  for _ in 1 2 3; do
    rm -rf "$work/cp-dst"
    t0=$(date +%s.%N); "$@"; t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.6f", b-a}')
    if [[ -z $best ]] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$t; fi
  done
  rm -rf "$work/cp-dst"
  echo "$best"
}

measure() { # LABEL IMG
  local label=$1 img=$2 sbytes ssecs mbytes msecs nfiles cpfiles cps
  cat "$img" >/dev/null   # page-cached from here on
  read -r sbytes ssecs < <(best "$img" exported --export "$work/single")
  nfiles=$(find "$work/single" -type f | wc -l)
  # cp of the very files the export wrote: the same creations, the same bytes
  cpfiles=$(timed cp -r "$work/single" "$work/cp-dst")
  read -r mbytes msecs < <(best "$img" merged --merge "$work/merged.TKL")
  rm -rf "$work/single" "$work/merged.TKL"
  head -c "$sbytes" "$img" >"$work/cp-src.bin"
  cps=$(timed cp "$work/cp-src.bin" "$work/cp-dst")
  rm -f "$work/cp-src.bin"
  # the least these files cost any program here: copy_file_range alone, then
  # with the .part name and the rename every export makes
  "$CLI" scan "$img" --json >"$work/list.json" 2>/dev/null
  read -r plain parted < <("$LIB" --floor "$img" "$work/list.json" "$work/floor")
  rm -f "$work/list.json"
  awk -v l="$label" -v n="$nfiles" -v sb="$sbytes" -v ss="$ssecs" -v mb="$mbytes" -v ms="$msecs" \
      -v cs="$cps" -v cf="$cpfiles" -v fp="$plain" -v fr="$parted" 'BEGIN {
    printf "%s: %d fragments, %d bytes\n", l, n, sb;
    printf "  cp, one file        %8.4f s  %8.1f MB/s\n", cs, sb / cs / 1e6;
    printf "  cp -r, the files    %8.4f s  %8.1f MB/s\n", cf, sb / cf / 1e6;
    printf "  least, the files    %8.4f s  %8.1f MB/s  / cp = %.2f; with .part and rename %.4f s, / cp = %.2f\n", fp, sb / fp / 1e6, fp / cs, fr, fr / cs;
    printf "  single export       %8.4f s  %8.1f MB/s  export / cp = %.2f, / cp -r = %.2f\n", ss, sb / ss / 1e6, ss / cs, ss / cf;
    printf "  merge (one file)    %8.4f s  %8.1f MB/s  merge / cp = %.2f\n", ms, mb / ms / 1e6, ms / cs;
  }'
}

echo "on $fs ($work), best of 3 each; time ratios, 1.00 = cp"
"$GEN" --size "$SIZE" --seed 1 --out "$work/large.img" >/dev/null
measure "few large ($SIZE generated image)" "$work/large.img"
rm -f "$work/large.img"
"$DENSE" "$work/small.img" 1024 "$SMALL_COUNT" >/dev/null
measure "many small (1 GiB, $SMALL_COUNT recordings)" "$work/small.img"
rm -f "$work/small.img"

echo
echo "library, hand-built fragments of 4-40 MiB:"
"$LIB" --size 512 --dir "$work" 2>/dev/null
