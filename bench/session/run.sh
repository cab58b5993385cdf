#!/usr/bin/env bash
# The cost of keeping a session: `corvotkl-cli scan IMG --json` with and
# without `--session FILE` on a page-cached image, best of ROUNDS each, at the
# image generator's default density and at 100,000 fragments per GiB; and
# the session's size per fragment. Three figures each: the scan's own time
# (the CLI's summary, from the first read to the last fragment), the whole
# command's wall clock (adding the session's opening and last commit, a
# fixed cost), and processor time (user + system); on a shared machine the
# wall clock also counts waiting.
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

# best scan, wall and cpu seconds of ROUNDS runs of the scan, ARGS after the image
best() {
  local img=$1; shift
  local bs='' bw='' bc='' w c t
  for _ in $(seq "$ROUNDS"); do
    rm -f "$work"/s.session*
    /usr/bin/time -o "$work/time" -f "%e %U %S" "$CLI" scan "$img" --json "$@" >/dev/null 2>"$work/err"
    read -r w c < <(awk '{printf "%s %.2f\n", $1, $2 + $3}' "$work/time")
    grep -q "^corvotkl-cli: scanned" "$work/err" || { cat "$work/err" >&2; exit 1; }
    t=$(sed -nE 's/^corvotkl-cli: scanned .* read in ([0-9.]+) s.*/\1/p' "$work/err")
    if [[ -z $bs ]] || awk -v a="$t" -v b="$bs" 'BEGIN{exit !(a<b)}'; then bs=$t; fi
    if [[ -z $bw ]] || awk -v a="$w" -v b="$bw" 'BEGIN{exit !(a<b)}'; then bw=$w; fi
    if [[ -z $bc ]] || awk -v a="$c" -v b="$bc" 'BEGIN{exit !(a<b)}'; then bc=$c; fi
  done
  echo "$bs $bw $bc"
}

measure() {
  local label=$1 img=$2
  cat "$img" >/dev/null
  read -r s0 w0 c0 < <(best "$img")
  read -r s1 w1 c1 < <(best "$img" --session "$work/s.session")
  local n size
  n=$(sqlite3 "$work/s.session" "select count(*) from fragments")
  size=$(stat -c %s "$work/s.session")
  [[ -f $work/s.session-wal ]] && size=$((size + $(stat -c %s "$work/s.session-wal")))
  awk -v l="$label" -v s0="$s0" -v s1="$s1" -v w0="$w0" -v w1="$w1" -v c0="$c0" -v c1="$c1" -v n="$n" -v s="$size" 'BEGIN{
    printf "%s: %d fragments, %.0f bytes of session per fragment\n", l, n, (n > 0 ? s / n : 0)
    printf "  scan       without %6.3f s  with %6.3f s  ratio %.3f\n", s0, s1, s1 / s0
    printf "  wall       without %6.3f s  with %6.3f s  ratio %.3f\n", w0, w1, w1 / w0
    printf "  cpu        without %6.2f s  with %6.2f s  ratio %.3f\n", c0, c1, (c0 > 0 ? c1 / c0 : 0) }'
}

"$GEN" --size "${MIB}M" --seed 1 --out "$work/default.img" >/dev/null
measure "default density (${MIB} MiB)" "$work/default.img"
rm -f "$work/default.img"
"$DENSE" "$work/dense.img" "$MIB" 100000 >/dev/null
measure "100,000 fragments/GiB (${MIB} MiB)" "$work/dense.img"
