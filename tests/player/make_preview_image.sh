#!/usr/bin/env bash
# Writes a small disk image holding two TKL-framed H.264 recordings (testsrc,
# then smptebars) between stretches of zeros, and prints the byte ranges of
# the two recordings: "A0 A1 B0 B1".
#   make_preview_image.sh BUILD_DIR IMAGE          (needs ffmpeg)
set -euo pipefail
build=$1
img=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

enc() { ffmpeg -loglevel error -y -f lavfi -i "$1=size=320x240:rate=25" -t 8 -c:v libx264 -preset veryfast \
          -pix_fmt yuv420p -g 25 -bsf:v h264_mp4toannexb -f h264 "$2"; }
enc testsrc "$work/a.h264"
enc smptebars "$work/b.h264"
"$build/bin/tklframe" -s 4000 "$work/a.h264" "$work/a.tkl"
"$build/bin/tklframe" -s 4000 -v 2 "$work/b.h264" "$work/b.tkl"

mib=1048576
head -c $mib /dev/zero > "$img"
a0=$(stat -c %s "$img"); cat "$work/a.tkl" >> "$img"; a1=$(stat -c %s "$img")
head -c $mib /dev/zero >> "$img"
b0=$(stat -c %s "$img"); cat "$work/b.tkl" >> "$img"; b1=$(stat -c %s "$img")
head -c $mib /dev/zero >> "$img"
echo "$a0 $a1 $b0 $b1"
