#!/usr/bin/env bash
# End-to-end run under Xvfb on a generated disk image:
#  1. corvotkl_e2e drives the real main window with input events (disk dialog,
#     scan to 100 %, playlist against the ground truth, export and merge
#     compared byte for byte, preview through the km2 stand-in);
#  2. the real corvotkl binary starts on the image, its window appears and
#     Ctrl+E, typed through the X server, opens the disk dialog.
#   run_e2e.sh BUILD_DIR     exit 77 when no X server can be started
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

skip() { echo "e2e_gui: SKIPPED: $*"; exit 77; }
command -v xvfb-run >/dev/null || skip "xvfb-run is not installed (scripts/deps --gui installs it)"
command -v Xvfb >/dev/null || skip "Xvfb is not installed (scripts/deps --gui installs it)"
xvfb-run -a -s "-screen 0 640x480x24" true 2>/dev/null || skip "Xvfb could not start an X server here"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Own runtime directory: the single-instance lock of a CorvoTKL the user runs
# must not stop the one under test, nor the other way round.
mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"
# Own data folder: a session kept by an earlier run must not ask to be continued.
export XDG_DATA_HOME="$work/data"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

# A space in the path: names travel through the scan and the export whole.
img="$work/disk image.img"
"$build/bin/tkl-imagegen" --size 24M --seed 7 --out "$img" --truth "$work/truth.json" --expect "$work/expect"
mkdir -p "$work/out"

# The desktop's opener, as the help button reaches it: records what it was asked.
mkdir "$work/opener"
printf '#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' "$work/opened.log" > "$work/opener/xdg-open"
chmod +x "$work/opener/xdg-open"
# The manual goes to the desktop only when a CHM reader is there: a stand-in,
# so the road does not depend on what the machine has installed.
printf '#!/bin/sh\nexit 0\n' > "$work/opener/xchm"
chmod +x "$work/opener/xchm"
# The help opens its manual from the working directory.
mkdir "$work/cwd"
if [ -f "$build/bin/TKL使用手册.chm" ]; then
  cp "$build/bin/TKL使用手册.chm" "$work/cwd/"
else
  echo "stand-in for the manual" > "$work/cwd/TKL使用手册.chm"
fi

echo "== the window driven by input events"
rm -f "$build/tests/e2e/thumb/Tessaro"
status=0
(cd "$work/cwd" &&
  PATH="$build/tests/fakekm2:$work/opener:$PATH" KM2_LOG="$work/km2.log" E2E_OPENER_LOG="$work/opened.log" \
  XDG_CURRENT_DESKTOP= DESKTOP_SESSION= KDE_FULL_SESSION= GNOME_DESKTOP_SESSION_ID= \
  timeout 500 xvfb-run -a -s "-screen 0 1280x900x24" \
  "$build/tests/e2e/corvotkl_e2e" "$img" "$work/truth.json" "$work/expect" "$work/out" "$work/km2.log") || status=$?
cp -f "$work/out/e2e-window.png" "$build/tests/e2e/" 2>/dev/null || true
[ $status -eq 0 ] || { echo "e2e_gui: the driven run failed (status $status)"; exit 1; }

echo "== the real corvotkl binary"
command -v xdotool >/dev/null || { echo "e2e_gui: xdotool is missing, the real-binary check is skipped"; exit 0; }
timeout 120 xvfb-run -a -s "-screen 0 1280x900x24" "$here/real_binary.sh" "$build/bin/corvotkl" "$img" \
  "$build/tests/e2e/real-binary.png"
echo "e2e_gui: passed"
