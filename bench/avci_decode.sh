#!/usr/bin/env bash
# Whole-process speed of the AVC-Intra decoder against FFmpeg's H.264 decoder on the same
# streams: class 100 1080i (CAVLC, 4:2:2) and class 50 1080i (CABAC, 4:2:0), 1 and 2 threads.
#
# Usage: bench/avci_decode.sh [BUILD_DIR] [FRAMES]
#   BUILD_DIR  build folder holding cli/vorn (default: build)
#   FRAMES     frames per stream (default: 30)
# Needs ffmpeg, x264 and hyperfine. Prints hyperfine's tables and the frames per second.
set -euo pipefail

BUILD="${1:-build}"
frames="${2:-30}"
NEEDED="ffmpeg x264"
source "$(dirname "$0")/common.sh"
vorn=$VORN
cd "$WORK"

ffmpeg -loglevel error -f lavfi -i testsrc2=s=1920x1080:r=60000/1001 \
    -vf interlace=scan=tff:lowpass=off,noise=alls=6:allf=t -frames:v "$frames" \
    -pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe src1080.y4m
ffmpeg -loglevel error -i src1080.y4m -vf scale=1440:1080 -pix_fmt yuv420p10le -strict -1 \
    -f yuv4mpegpipe src1440.y4m
x264 --quiet --avcintra-class 100 --output-csp i422 --output-depth 10 --tff --fps 30000/1001 \
    -o c100_1080i.264 src1080.y4m 2>/dev/null
x264 --quiet --avcintra-class 50 --output-csp i420 --output-depth 10 --tff --fps 30000/1001 \
    -o c50_1080i.264 src1440.y4m 2>/dev/null
rm -f src1080.y4m src1440.y4m

for stream in c100_1080i:38 c50_1080i:32; do
    name="${stream%%:*}"
    code="${stream##*:}"
    for threads in 1 2; do
        echo "== $name, $threads thread(s), $frames frames"
        hyperfine --warmup 1 --runs 5 --export-json "$name.$threads.json" \
            -n vorn "$vorn codec avci-decode --format $code --threads $threads --null $name.264" \
            -n ffmpeg "ffmpeg -loglevel error -threads $threads -i $name.264 -f null -"
        report "$name.$threads.json" "$name" "$threads" "$frames"
    done
done
