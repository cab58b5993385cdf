#!/usr/bin/env bash
# Inside an X server: starts PROGRAM IMAGE, waits for its main window, types
# Ctrl+E through the X server and waits for the disk dialog; screenshot of
# the screen to SHOT. Exit status 0 when both windows appeared.
#   real_binary.sh PROGRAM IMAGE SHOT.png
set -uo pipefail
program=$1 img=$2 shot=$3
log=$(mktemp)
"$program" "$img" >"$log" 2>&1 &
pid=$!
finish() {
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  rm -f "$log"
}
trap finish EXIT
fail() {
  echo "real_binary: FAILED: $*"
  echo "--- output of $program:"; cat "$log"
  import -window root "$shot" 2>/dev/null
  exit 1
}

# The window's title is "CorvoTKL"; the disk dialog's "选择磁盘".
win=$(timeout 60 xdotool search --sync --onlyvisible --name '^CorvoTKL$' | head -n1)
[ -n "$win" ] || fail "no CorvoTKL window within 60 s"
kill -0 "$pid" 2>/dev/null || fail "the program ended"
echo "real_binary: window $win appeared"
sleep 1
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
xdotool key --clearmodifiers ctrl+e
# Where the machine's own disks cannot be read (a container, no rights) a
# notice comes first; Return answers it and the dialog follows.
dialog=
for i in $(seq 1 40); do
  dialog=$(xdotool search --onlyvisible --name '^选择磁盘$' 2>/dev/null | head -n1)
  [ -n "$dialog" ] && break
  if [ $((i % 4)) -eq 0 ]; then
    import -window root "${shot%.png}-notice.png" 2>/dev/null
    xdotool key Return
  fi
  sleep 0.5
done
[ -n "$dialog" ] || fail "Ctrl+E did not open the disk dialog within 20 s"
echo "real_binary: Ctrl+E opened the disk dialog $dialog"
sleep 1
import -window root "$shot" 2>/dev/null && echo "real_binary: screenshot $shot"
exit 0
