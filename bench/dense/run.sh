#!/usr/bin/env bash
# What each fragment costs the CLI: generated 1 GiB images holding 16 k,
# 128 k, 1 M and 4 M short recordings, page-cached, scanned with `--json` and
# as the table (to /dev/null), best of ROUNDS each. Prints the scan's wall
# time over `cat`'s on the same image, its processor time (user + system)
# over cat's (the steadier figure on a shared machine), and
# peak RSS above the baseline (the same scan of a 1 GiB image of zeros, no
# fragments) per fragment. With MERGE=1 also `--merge` into /dev/shm, which
# keeps every fragment for the export, and the merge's own time.
#
# usage: bench/dense/run.sh [BUILD_DIR]      (build)
#   CLI=/path/to/corvotkl-cli bench/dense/run.sh   compares another build
#   DENSITIES="16384 1048576" ROUNDS=3 MERGE=1 bench/dense/run.sh
set -euo pipefail
BUILD=${1:-build}
ROUNDS=${ROUNDS:-3}
DENSITIES=${DENSITIES:-"16384 131072 1048576 4194304"}
CLI=${CLI:-$BUILD/bin/corvotkl-cli}
DENSE=${DENSE:-$BUILD/bin/bench_session_dense_image}
for b in "$CLI" "$DENSE"; do
  [[ -x $b ]] || { echo "missing $b: cmake --build $BUILD --target corvotkl-cli bench_session_dense_image" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/corvo-dense-bench.XXXXXX")
trap 'rm -rf "$work" /dev/shm/corvo-dense-merge.$$' EXIT

# best "wall cpu rss_kB" of ROUNDS runs of CMD...
best() {
  local bw='' bc='' bm='' w c m
  for _ in $(seq "$ROUNDS"); do
    /usr/bin/time -o "$work/time" -f "%e %U %S %M" "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
    read -r w c m < <(awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$work/time")
    if [[ -z $bw ]] || awk -v a="$w" -v b="$bw" 'BEGIN{exit !(a<b)}'; then bw=$w; fi
    if [[ -z $bc ]] || awk -v a="$c" -v b="$bc" 'BEGIN{exit !(a<b)}'; then bc=$c; fi
    if [[ -z $bm ]] || (( m < bm )); then bm=$m; fi
    rm -f /dev/shm/corvo-dense-merge.$$
  done
  echo "$bw $bc $bm"
}

truncate -s 1G "$work/zero.img"
cat "$work/zero.img" >/dev/null
read -r _ _ base < <(best "$CLI" scan "$work/zero.img" --json)
echo "baseline: a 1 GiB image without fragments, peak RSS $((base / 1024)) MB"
printf "%-9s %-6s %10s %7s %7s %6s %8s %8s %7s %11s %10s\n" fragments output found "cat s" "scan s" "÷ cat" \
  "cat cpu" "scan cpu" "÷ cat" "RSS>base MB" "B/fragment"
for per in $DENSITIES; do
  "$DENSE" "$work/dense.img" 1024 "$per" >/dev/null
  read -r cw cc _ < <(best cat "$work/dense.img")
  modes=(json table)
  [[ ${MERGE:-0} == 1 ]] && modes+=(merge)
  for mode in "${modes[@]}"; do
    case $mode in
      json) args=(--json) ;;
      table) args=() ;;
      merge) args=(--merge /dev/shm/corvo-dense-merge.$$) ;;
    esac
    read -r w c m < <(best "$CLI" scan "$work/dense.img" "${args[@]}")
    n=$(sed -nE 's/^corvotkl-cli: scanned .*: ([0-9]+) fragments.*/\1/p' "$work/err")
    awk -v per="$per" -v mode="$mode" -v n="$n" -v cw="$cw" -v cc="$cc" -v w="$w" -v c="$c" -v m="$m" -v base="$base" 'BEGIN{
      d = (m - base) * 1024
      printf "%-9d %-6s %10d %7.2f %7.2f %6.1f %8.2f %8.2f %7.1f %11.1f %10.1f\n", per, mode, n, cw, w, (cw > 0 ? w / cw : 0),
             cc, c, (cc > 0 ? c / cc : 0), d / 1e6, (n > 0 ? d / n : 0) }'
    if [[ $mode == merge ]]; then
      # the merge's own share, as the CLI times it apart from the scan (last round)
      sed -nE 's/^corvotkl-cli: merged .* written in ([0-9.]+) s.*/          the merge itself: \1 s/p' "$work/err"
    fi
  done
  rm -f "$work/dense.img"
done
