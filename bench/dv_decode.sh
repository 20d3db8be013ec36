#!/usr/bin/env bash
# DV decoding speed against FFmpeg in steady state (the time of N extra frames:
# a run of 2N frames minus a run of N), at 1 and 2 threads, for DVCPRO HD
# 1080i, DV25 NTSC and DVCPRO50 NTSC. Usage: bench/dv_decode.sh [BUILD_DIR] [FRAMES]
# Prints steady frames per second, their ratio (above 1: vorn is faster), CPU
# per frame and the machine's load; see steady() in common.sh.
set -euo pipefail
BUILD=${1:-build}
FRAMES=${2:-60}
NEEDED=ffmpeg
source "$(dirname "$0")/common.sh"

make_dif() { # name size rate fieldrate top frame-bytes encoder-options...
  local name=$1 size=$2 rate=$3 fieldrate=$4 top=$5 bytes=$6
  shift 6
  ffmpeg -v error -y -f lavfi -i "testsrc2=s=$size:r=$fieldrate" \
    -vf "interlace=scan=$([ "$top" = 1 ] && echo tff || echo bff):lowpass=off,noise=alls=6:allf=t" \
    -frames:v $((2 * FRAMES)) -pix_fmt yuv422p -f rawvideo - |
  ffmpeg -v error -y -f rawvideo -pix_fmt yuv422p -s "$size" -r "$rate" -i - -top "$top" -flags +ildct \
    "$@" -c:v dvvideo -f rawvideo "$WORK/$name.all"
  cut_frames "$WORK/$name.all" "$bytes" "$FRAMES" "$WORK/$name.$FRAMES.dif"
  cut_frames "$WORK/$name.all" "$bytes" $((2 * FRAMES)) "$WORK/$name.$((2 * FRAMES)).dif"
}
make_dif hd1080i 1280x1080 30000/1001 60000/1001 1 480000
make_dif dv25 720x480 30000/1001 60000/1001 0 120000 -pix_fmt yuv411p
make_dif dv50 720x480 30000/1001 60000/1001 0 240000 -b:v 50M

run() { # label name code threads
  steady "$1" "$4" "$FRAMES" \
    "ffmpeg -v error -threads $4 -f dv -i $WORK/$2.@N@.dif -f null -" \
    "$VORN codec dv-decode --format $3 --threads $4 --null $WORK/$2.@N@.dif"
}
for t in 1 2; do
  run "DVCPRO HD 1080i" hd1080i 1 $t
  run "DV25 NTSC" dv25 10 $t
  run "DVCPRO50 NTSC" dv50 8 $t
done
