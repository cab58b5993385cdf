#!/usr/bin/env bash
# Builds a small disk image holding two TKL-framed H.264 recordings and runs
# preview_scenario on it under Xvfb with the real km2 and mplayer.
#   preview_e2e.sh BUILD_DIR [SHOT.png]     exit 77 when a tool is missing
set -euo pipefail
build=$(cd "$1" && pwd)
shot=${2:-$build/preview.png}
for tool in ffmpeg mplayer xvfb-run; do
  command -v "$tool" >/dev/null || { echo "preview_e2e: $tool is not installed, skipping"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

enc() { ffmpeg -loglevel error -y -f lavfi -i "$1=size=320x240:rate=25" -t 8 -c:v libx264 -preset veryfast \
          -pix_fmt yuv420p -g 25 -bsf:v h264_mp4toannexb -f h264 "$2"; }
enc testsrc "$work/a.h264"
enc smptebars "$work/b.h264"
"$build/bin/tklframe" -s 4000 "$work/a.h264" "$work/a.tkl"
"$build/bin/tklframe" -s 4000 -v 2 "$work/b.h264" "$work/b.tkl"

img="$work/disk image.img"
mib=1048576
head -c $mib /dev/zero > "$img"
a0=$(stat -c %s "$img"); cat "$work/a.tkl" >> "$img"; a1=$(stat -c %s "$img")
head -c $mib /dev/zero >> "$img"
b0=$(stat -c %s "$img"); cat "$work/b.tkl" >> "$img"; b1=$(stat -c %s "$img")
head -c $mib /dev/zero >> "$img"

# km2 from the build, mplayer from the system.
export PATH="$build/bin:$PATH"
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1280x900x24" \
  "$build/tests/preview_scenario" "$img" "$shot" "$a0" "$a1" "$b0" "$b1"
