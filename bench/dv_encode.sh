#!/usr/bin/env bash
# Whole-process DV encoding speed against FFmpeg's dvvideo encoder on the same
# raw pictures, in one hyperfine run per format and thread count so both see the
# same machine load. Usage: bench/dv_encode.sh [BUILD_DIR] [FRAMES]
# Prints frames per second of each command and our speed relative to FFmpeg.
set -euo pipefail
BUILD=${1:-build}
FRAMES=${2:-60}
NEEDED=ffmpeg
source "$(dirname "$0")/common.sh"

make_src() { # name size fieldrate top
  ffmpeg -v error -y -f lavfi -i "testsrc2=s=$2:r=$3" \
    -vf "interlace=scan=$([ "$4" = 1 ] && echo tff || echo bff):lowpass=off,noise=alls=6:allf=t" \
    -frames:v "$FRAMES" -pix_fmt yuv422p -f rawvideo "$WORK/$1.yuv"
}
make_src hd1080i 1280x1080 60000/1001 1
make_src dv25 720x480 60000/1001 0

run() { # label source size rate pixfmt code threads
  local json="$WORK/$1-$7.json"
  hyperfine -N -w 1 -r 5 --export-json "$json" \
    -n ffmpeg "ffmpeg -v error -y -f rawvideo -pix_fmt yuv422p -s $3 -r $4 -i $WORK/$2.yuv -threads $7 -pix_fmt $5 -c:v dvvideo -f rawvideo /dev/null" \
    -n vorn "$VORN codec dv-encode --format $6 --threads $7 $WORK/$2.yuv /dev/null" >/dev/null
  report "$json" "$1" "$7" "$FRAMES"
}
for t in 1 2; do
  run "DVCPRO HD" hd1080i 1280x1080 30000/1001 yuv422p 1 $t
  run "DV25" dv25 720x480 30000/1001 yuv411p 10 $t
done
