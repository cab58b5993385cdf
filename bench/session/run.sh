#!/usr/bin/env bash
# The cost of keeping a session: `corvotkl-cli scan IMG --json` with and
# without `--session FILE` on a page-cached image, best of ROUNDS each, at the
# image generator's default density and at 100,000 fragments per GiB; and
# the session's size per fragment. Processor time (user + system) is printed
# beside the wall clock, which on a shared machine also counts waiting.
#
# usage: bench/session/run.sh [BUILD_DIR] [SIZE_MIB]   (build, 512)
set -euo pipefail
BUILD=${1:-build}
MIB=${2:-512}
ROUNDS=${ROUNDS:-5}
CLI=$BUILD/bin/corvotkl-cli
GEN=$BUILD/bin/tkl-imagegen
DENSE=$BUILD/bin/bench_session_dense_image
for b in "$CLI" "$GEN" "$DENSE"; do
  [[ -x $b ]] || { echo "missing $b: cmake --build $BUILD --target corvotkl-cli tkl-imagegen bench_session_dense_image" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/corvo-session-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# best wall and cpu seconds of ROUNDS runs of the scan, ARGS after the image
best() {
  local img=$1; shift
  local bw='' bc='' w c
  for _ in $(seq "$ROUNDS"); do
    rm -f "$work"/s.session*
    /usr/bin/time -o "$work/time" -f "%e %U %S" "$CLI" scan "$img" --json "$@" >/dev/null 2>"$work/err"
    read -r w c < <(awk '{printf "%s %.2f\n", $1, $2 + $3}' "$work/time")
    grep -q "^corvotkl-cli: scanned" "$work/err" || { cat "$work/err" >&2; exit 1; }
    if [[ -z $bw ]] || awk -v a="$w" -v b="$bw" 'BEGIN{exit !(a<b)}'; then bw=$w; fi
    if [[ -z $bc ]] || awk -v a="$c" -v b="$bc" 'BEGIN{exit !(a<b)}'; then bc=$c; fi
  done
  echo "$bw $bc"
}

measure() {
  local label=$1 img=$2
  cat "$img" >/dev/null
  read -r w0 c0 < <(best "$img")
  read -r w1 c1 < <(best "$img" --session "$work/s.session")
  local n size
  n=$(sqlite3 "$work/s.session" "select count(*) from fragments")
  size=$(stat -c %s "$work/s.session")
  [[ -f $work/s.session-wal ]] && size=$((size + $(stat -c %s "$work/s.session-wal")))
  awk -v l="$label" -v w0="$w0" -v w1="$w1" -v c0="$c0" -v c1="$c1" -v n="$n" -v s="$size" 'BEGIN{
    printf "%-34s without %6.2f s (cpu %5.2f)  with %6.2f s (cpu %5.2f)  ratio %.3f (cpu %.3f)  %d fragments, %.0f bytes/fragment\n",
      l, w0, c0, w1, c1, w1 / w0, (c0 > 0 ? c1 / c0 : 0), n, (n > 0 ? s / n : 0) }'
}

"$GEN" --size "${MIB}M" --seed 1 --out "$work/default.img" >/dev/null
measure "default density (${MIB} MiB)" "$work/default.img"
rm -f "$work/default.img"
"$DENSE" "$work/dense.img" "$MIB" 100000 >/dev/null
measure "100,000 fragments/GiB (${MIB} MiB)" "$work/dense.img"
