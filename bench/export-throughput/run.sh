#!/usr/bin/env bash
# Export throughput beside cp, in one run on a page-cached generated image:
# MB/s of cp of as many bytes as the export writes (one file, and the very
# files the single export wrote, with cp -r), of the single export
# (`corvotkl-cli scan IMG --export DIR`) and of the merge (`--merge FILE`),
# and their ratios to cp. The CLI times its export and merge apart from the
# scan and prints "corvotkl-cli: exported K fragments to DIR: N of N bytes
# written in T s"; those are the figures used. Then the library-level benchmark on hand-built fragments.
#
# usage: bench/export-throughput/run.sh [BUILD_DIR] [IMAGE_SIZE]   (build, 512M)
set -euo pipefail
BUILD=${1:-build}
SIZE=${2:-512M}
CLI=$BUILD/bin/corvotkl-cli
GEN=$BUILD/bin/tkl-imagegen
LIB=$BUILD/bin/bench_export_throughput
for b in "$CLI" "$GEN" "$LIB"; do
  [[ -x $b ]] || { echo "missing $b: cmake --build $BUILD --target corvotkl-cli tkl-imagegen bench_export_throughput" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/corvo-export-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$GEN" --size "$SIZE" --seed 1 --out "$work/disk.img" >/dev/null
cat "$work/disk.img" >/dev/null   # page-cached from here on

# bytes and seconds from the CLI's summary line of KIND (exported or merged)
cli_run() {
  local kind=$1; shift
  sync
  if ! "$CLI" scan "$work/disk.img" "$@" >/dev/null 2>"$work/$kind.log"; then
    echo "corvotkl-cli failed:" >&2; cat "$work/$kind.log" >&2; exit 1
  fi
  grep -E "^corvotkl-cli: $kind [0-9]+ fragments " "$work/$kind.log" | tail -1 |
    sed -E 's/.*: ([0-9]+) of [0-9]+ bytes written in ([0-9.]+) s.*/\1 \2/'
}

best() { # KIND ARGS... -> "bytes seconds" of the fastest of three runs
  local kind=$1; shift
  local b='' s='' r
  for _ in 1 2 3; do
    rm -rf "$work/single" "$work/merged.TKL"; mkdir -p "$work/single"
    r=$(cli_run "$kind" "$@")
    if [[ -z $s ]] || awk -v a="${r#* }" -v b="$s" 'BEGIN{exit !(a<b)}'; then b=${r% *}; s=${r#* }; fi
  done
  echo "$b $s"
}

timed() { # CMD... -> seconds of the fastest of three runs (target removed before each)
  local best='' t t0 t1
  for _ in 1 2 3; do
    rm -rf "$work/cp-dst"; sync
    t0=$(date +%s.%N); "$@"; t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.6f", b-a}')
    if [[ -z $best ]] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$t; fi
  done
  rm -rf "$work/cp-dst"
  echo "$best"
}

read -r sbytes ssecs < <(best exported --export "$work/single")
nfiles=$(find "$work/single" -type f | wc -l)
# cp of the very files the export wrote (page-cached): the same creations, the same bytes
cpfiles=$(timed cp -r "$work/single" "$work/cp-dst")
read -r mbytes msecs < <(best merged --merge "$work/merged.TKL")
rm -rf "$work/single" "$work/merged.TKL"

# cp of one file of the same number of bytes, page-cached too
head -c "$sbytes" "$work/disk.img" >"$work/cp-src.bin"
cps=$(timed cp "$work/cp-src.bin" "$work/cp-dst")
rm -f "$work/cp-src.bin"

awk -v sb="$sbytes" -v ss="$ssecs" -v mb="$mbytes" -v ms="$msecs" -v cs="$cps" -v cf="$cpfiles" \
    -v n="$nfiles" -v size="$SIZE" 'BEGIN {
  cp = sb / cs / 1e6; cpf = sb / cf / 1e6; s = sb / ss / 1e6; m = mb / ms / 1e6;
  printf "corvotkl-cli on a %s generated image: %d fragments, %d bytes (best of 3 each)\n", size, n, sb;
  printf "cp, one file         %8.1f MB/s\n", cp;
  printf "cp -r, the %d files  %8.1f MB/s\n", n, cpf;
  printf "single export        %8.1f MB/s  %.2fx cp -r of the same files, %.2fx cp of one file\n", s, s / cpf, s / cp;
  printf "merge (one file)     %8.1f MB/s  %.2fx cp of one file\n", m, m / cp;
}'
echo
echo "library, hand-built fragments of 4-40 MiB:"
"$LIB" --size 512 --dir "$work" 2>/dev/null
