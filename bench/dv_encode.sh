#!/usr/bin/env bash
# DV encoding speed against FFmpeg's dvvideo encoder on the same raw pictures,
# in steady state (a run of 2N pictures minus a run of N), at 1 and 2 threads,
# for DVCPRO HD 1080i and DV25 NTSC. Usage: bench/dv_encode.sh [BUILD_DIR] [FRAMES]
# Prints steady frames per second, their ratio (above 1: vorn is faster), CPU
# per frame and the machine's load; see steady() in common.sh.
set -euo pipefail
BUILD=${1:-build}
FRAMES=${2:-30}
NEEDED=ffmpeg
source "$(dirname "$0")/common.sh"

make_src() { # name size fieldrate top
  ffmpeg -v error -y -f lavfi -i "testsrc2=s=$2:r=$3" \
    -vf "interlace=scan=$([ "$4" = 1 ] && echo tff || echo bff):lowpass=off,noise=alls=6:allf=t" \
    -frames:v $((2 * FRAMES)) -pix_fmt yuv422p -f rawvideo "$WORK/$1.all"
  local w=${2%x*} h=${2#*x}
  cut_frames "$WORK/$1.all" $((w * h * 2)) "$FRAMES" "$WORK/$1.$FRAMES.yuv"
  cut_frames "$WORK/$1.all" $((w * h * 2)) $((2 * FRAMES)) "$WORK/$1.$((2 * FRAMES)).yuv"
}
make_src hd1080i 1280x1080 60000/1001 1
make_src dv25 720x480 60000/1001 0

run() { # label source size rate pixfmt code threads
  steady "$1" "$7" "$FRAMES" \
    "ffmpeg -v error -y -f rawvideo -pix_fmt yuv422p -s $3 -r $4 -i $WORK/$2.@N@.yuv -threads $7 -pix_fmt $5 -c:v dvvideo -f rawvideo /dev/null" \
    "$VORN codec dv-encode --format $6 --threads $7 $WORK/$2.@N@.yuv /dev/null"
}
for t in 1 2; do
  run "DVCPRO HD 1080i" hd1080i 1280x1080 30000/1001 yuv422p 1 $t
  run "DV25 NTSC" dv25 720x480 30000/1001 yuv411p 10 $t
done
