#!/usr/bin/env bash
# Steady-state speed of the AVC-Intra decoder against FFmpeg's H.264 decoder on the same
# streams: class 100 1080i (CAVLC, 4:2:2) and class 50 1080i (CABAC, 4:2:0), 1 and 2 threads.
#
# Start-up costs differ (FFmpeg spends about 100 ms before its first frame), so each program
# decodes a stream of N frames and one of 2N frames: the difference is the time of N frames
# in steady state (see steady() in common.sh). Reported per path and thread count: steady
# frames per second of each program, Vorn's speed relative to FFmpeg (above 1: faster), the
# CPU per frame of each and its ratio, and the machine's load: on a busy machine wall-clock
# figures are noisy.
#
# Usage: bench/avci_decode.sh [BUILD_DIR] [FRAMES]
#   BUILD_DIR  build folder holding cli/vorn (default: build)
#   FRAMES     N, the frames of the shorter stream (default: 20)
# Needs ffmpeg, x264 and hyperfine.
set -euo pipefail

BUILD="${1:-build}"
frames="${2:-20}"
NEEDED="ffmpeg x264"
source "$(dirname "$0")/common.sh"
vorn=$VORN
cd "$WORK"

double=$((2 * frames))
ffmpeg -loglevel error -f lavfi -i testsrc2=s=1920x1080:r=60000/1001 \
    -vf interlace=scan=tff:lowpass=off,noise=alls=6:allf=t -frames:v "$double" \
    -pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe src1080.y4m
ffmpeg -loglevel error -i src1080.y4m -vf scale=1440:1080 -pix_fmt yuv420p10le -strict -1 \
    -f yuv4mpegpipe src1440.y4m
for n in "$frames" "$double"; do
    x264 --quiet --avcintra-class 100 --output-csp i422 --output-depth 10 --tff --fps 30000/1001 \
        --frames "$n" -o "c100_1080i.$n.264" src1080.y4m 2>/dev/null
    x264 --quiet --avcintra-class 50 --output-csp i420 --output-depth 10 --tff --fps 30000/1001 \
        --frames "$n" -o "c50_1080i.$n.264" src1440.y4m 2>/dev/null
done
rm -f src1080.y4m src1440.y4m

for stream in c100_1080i:38 c50_1080i:32; do
    name="${stream%%:*}"
    code="${stream##*:}"
    for threads in 1 2; do
        steady "$name" "$threads" "$frames" \
            "ffmpeg -loglevel error -threads $threads -i $name.@N@.264 -f null -" \
            "$vorn codec avci-decode --format $code --threads $threads --null $name.@N@.264"
    done
done
