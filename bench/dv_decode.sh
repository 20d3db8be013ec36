#!/usr/bin/env bash
# Whole-process DV decoding speed against FFmpeg, in one hyperfine run per format
# so both see the same machine load. Usage: bench/dv_decode.sh [BUILD_DIR] [FRAMES]
# Prints frames per second of each command and our speed relative to FFmpeg.
set -euo pipefail
BUILD=${1:-build}
FRAMES=${2:-120}
NEEDED=ffmpeg
source "$(dirname "$0")/common.sh"

make_dif() { # name size pixfmt rate fieldrate top
  ffmpeg -v error -y -f lavfi -i "testsrc2=s=$2:r=$5" \
    -vf "interlace=scan=$([ "$6" = 1 ] && echo tff || echo bff):lowpass=off,noise=alls=6:allf=t" \
    -frames:v "$FRAMES" -pix_fmt "$3" -f rawvideo - |
  ffmpeg -v error -y -f rawvideo -pix_fmt "$3" -s "$2" -r "$4" -i - -top "$6" -flags +ildct \
    -c:v dvvideo -f rawvideo "$WORK/$1.dif"
}
make_dif hd1080i 1280x1080 yuv422p 30000/1001 60000/1001 1
make_dif dv25 720x480 yuv411p 30000/1001 60000/1001 0

run() { # label file code threads
  local json="$WORK/$1-$4.json"
  hyperfine -N -w 2 -r 10 --export-json "$json" \
    -n ffmpeg "ffmpeg -v error -threads $4 -f dv -i $WORK/$2.dif -f null -" \
    -n vorn "$VORN codec dv-decode --format $3 --threads $4 --null $WORK/$2.dif" >/dev/null
  report "$json" "$1" "$4" "$FRAMES"
}
for t in 1 2; do
  run "DVCPRO HD" hd1080i 1 $t
  run "DV25" dv25 10 $t
done
