#!/usr/bin/env bash
# Export throughput beside cp, in one run on a page-cached generated image:
# MB/s of cp of as many bytes as the export writes, of the single export
# (`corvotkl-cli scan IMG --export DIR`) and of the merge (`--merge FILE`),
# and their ratios to cp. The CLI times its export and merge apart from the
# scan and prints "export: done, N of N bytes written in T s"; those are the
# figures used. Then the library-level benchmark on hand-built fragments.
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

# seconds and bytes from the CLI's summary line of KIND (export or merge)
cli_run() {
  local kind=$1; shift
  sync
  if ! "$CLI" scan "$work/disk.img" "$@" >/dev/null 2>"$work/$kind.log"; then
    echo "corvotkl-cli failed:" >&2; cat "$work/$kind.log" >&2; exit 1
  fi
  grep -E "^$kind: done, " "$work/$kind.log" | tail -1 |
    sed -E 's/^[a-z]+: done, ([0-9]+) of [0-9]+ bytes written in ([0-9.]+) s.*/\1 \2/'
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

read -r sbytes ssecs < <(best export --export "$work/single")
read -r mbytes msecs < <(best merge --merge "$work/merged.TKL")
rm -rf "$work/single" "$work/merged.TKL"

# cp of the same number of bytes, page-cached too
head -c "$sbytes" "$work/disk.img" >"$work/cp-src.bin"
cps=''
for _ in 1 2 3; do
  rm -f "$work/cp-dst.bin"; sync
  t0=$(date +%s.%N); cp "$work/cp-src.bin" "$work/cp-dst.bin"; t1=$(date +%s.%N)
  t=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.6f", b-a}')
  if [[ -z $cps ]] || awk -v a="$t" -v b="$cps" 'BEGIN{exit !(a<b)}'; then cps=$t; fi
done
rm -f "$work/cp-src.bin" "$work/cp-dst.bin"

awk -v sb="$sbytes" -v ss="$ssecs" -v mb="$mbytes" -v ms="$msecs" -v cs="$cps" -v size="$SIZE" 'BEGIN {
  cp = sb / cs / 1e6; s = sb / ss / 1e6; m = mb / ms / 1e6;
  printf "corvotkl-cli on a %s generated image, %d bytes of fragments (best of 3)\n", size, sb;
  printf "cp            %8.1f MB/s\n", cp;
  printf "single export %8.1f MB/s  %.2fx cp\n", s, s / cp;
  printf "merge         %8.1f MB/s  %.2fx cp\n", m, m / cp;
}'
echo
echo "library, hand-built fragments of 4-40 MiB:"
"$LIB" --size 512 --dir "$work" 2>/dev/null
