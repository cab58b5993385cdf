#!/usr/bin/env bash
# Builds a small disk image holding two TKL-framed H.264 recordings and runs
# preview_scenario on it under Xvfb with the real km2 and mplayer.
#   preview_e2e.sh BUILD_DIR [SHOT.png]     exit 77 when a tool is missing
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
shot=${2:-$build/preview.png}
for tool in ffmpeg mplayer xvfb-run; do
  command -v "$tool" >/dev/null || { echo "preview_e2e: $tool is not installed, skipping"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

img="$work/disk image.img"
read -r a0 a1 b0 b1 < <("$here/make_preview_image.sh" "$build" "$img")

# km2 from the build, mplayer from the system.
export PATH="$build/bin:$PATH"
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1280x900x24" \
  "$build/tests/preview_scenario" "$img" "$shot" "$a0" "$a1" "$b0" "$b1"
