#!/usr/bin/env bash
# Steady-state speed of the AVC-Intra decoder against FFmpeg's H.264 decoder on the same
# streams: class 100 1080i (CAVLC, 4:2:2) and class 50 1080i (CABAC, 4:2:0), 1 and 2 threads.
#
# Start-up costs differ (FFmpeg spends about 100 ms before its first frame), so each program
# decodes a stream of N frames and one of 2N frames: the difference is the time of N frames
# in steady state. Reported per path and thread count: milliseconds per frame of each
# program (wall clock and CPU), Vorn's speed relative to FFmpeg (above 1: faster) and its
# CPU per frame relative to FFmpeg's (below 1: less). The machine's load comes last: on a
# busy machine wall-clock figures are noisy.
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

# steady JSON LABEL THREADS N: per-frame figures from the four runs of one hyperfine export.
steady() {
    python3 - "$1" "$2" "$3" "$4" <<'PY'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
n = int(sys.argv[4])
def per_frame(prog, key):
    long, short = runs[f"{prog} 2N"], runs[f"{prog} N"]
    if key == "cpu":
        return (long["user"] + long["system"] - short["user"] - short["system"]) / n * 1e3
    return (long["mean"] - short["mean"]) / n * 1e3
vw, fw = per_frame("vorn", "wall"), per_frame("ffmpeg", "wall")
vc, fc = per_frame("vorn", "cpu"), per_frame("ffmpeg", "cpu")
print(f"{sys.argv[2]:10s} threads {sys.argv[3]}: wall ms/frame vorn {vw:6.2f} ffmpeg {fw:6.2f}  "
      f"speed ratio {fw / vw:4.2f}  |  CPU ms/frame vorn {vc:6.2f} ffmpeg {fc:6.2f}  CPU ratio {vc / fc:4.2f}")
PY
}

summary=()
for stream in c100_1080i:38 c50_1080i:32; do
    name="${stream%%:*}"
    code="${stream##*:}"
    for threads in 1 2; do
        echo "== $name, $threads thread(s), $frames and $double frames"
        hyperfine --warmup 1 --runs 5 -N --export-json "$name.$threads.json" \
            -n "vorn N" "$vorn codec avci-decode --format $code --threads $threads --null $name.$frames.264" \
            -n "vorn 2N" "$vorn codec avci-decode --format $code --threads $threads --null $name.$double.264" \
            -n "ffmpeg N" "ffmpeg -loglevel error -threads $threads -i $name.$frames.264 -f null -" \
            -n "ffmpeg 2N" "ffmpeg -loglevel error -threads $threads -i $name.$double.264 -f null -"
        summary+=("$(steady "$name.$threads.json" "$name" "$threads" "$frames")")
    done
done
echo
echo "== steady state (2N minus N frames)"
printf '%s\n' "${summary[@]}"
echo "load: $(uptime)"
