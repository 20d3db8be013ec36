#!/usr/bin/env bash
# Whole-conversion speed and memory of `vorn convert` on sample cards made by
# `vorn sample` (a benchmark, not a test). Usage: bench/convert.sh [BUILD_DIR] [SECONDS]
#  - copy paths (2:3:3:2 removal of the DVCPRO50 clip, rewrap of the DVCPRO HD
#    1080i clip): output bytes per second against `cp` of the same source files
#    on the same disk (aim: ratio >= 0.8);
#  - 1080i59.94 3:2 removal with re-encode: source frames per second in the
#    steady state, from clips of SECONDS and 2 x SECONDS (aim: >= 60 on 2 cores);
#  - peak resident memory of each conversion (/usr/bin/time -v; aim: <= 400 MB).
# The machine's load is printed first: read the figures against it.
set -euo pipefail
BUILD=${1:-build}
SECONDS_SHORT=${2:-10}
NEEDED="/usr/bin/time"
source "$(dirname "$0")/common.sh"
echo "load: $(uptime | sed 's/.*load average: //')  processors: $(nproc)"

short=$SECONDS_SHORT
long=$((2 * SECONDS_SHORT))
[ "$long" -le 60 ] || { echo "SECONDS must be 1-30 (the long card is twice as long, 60 s at most)" >&2; exit 2; }
"$VORN" sample --seconds "$short" "$WORK/short" >/dev/null
"$VORN" sample --seconds "$long" "$WORK/long" >/dev/null
OPTS="$WORK/options.txt"   # absent: the defaults, whatever the user's settings

clip_files() { # card name: the clip's video and audio files
  ls "$1/CONTENTS/VIDEO/$2.MXF" "$1/CONTENTS/AUDIO/$2"??.MXF
}
bytes_of() { du -cb "$@" | tail -1 | cut -f1; }

# copy LABEL CLIP SETTINGS...: cp and vorn on the clip of both cards in one
# hyperfine run; bytes per second in the steady state (long minus short), so
# that neither side's fixed start-up cost counts.
copy() {
  local label=$1 clip=$2; shift 2
  local sets=""
  for s in "$@"; do sets+=" --set $s"; done
  local json="$WORK/$clip.json" args=() sizes=()
  for len in short long; do
    local src; src=$(clip_files "$WORK/$len" "$clip" | tr '\n' ' ')
    args+=(-n "cp-$len" "sh -c 'mkdir -p $WORK/cp && cp $src $WORK/cp/'")
    args+=(-n "vorn-$len" "$VORN --options $OPTS convert --quiet$sets --dest $WORK/out $WORK/$len/CONTENTS/VIDEO/$clip.MXF")
    rm -rf "$WORK/out"
    "$VORN" --options "$OPTS" convert --quiet $sets --dest "$WORK/out" "$WORK/$len/CONTENTS/VIDEO/$clip.MXF" >/dev/null
    sizes+=("$(bytes_of $src)" "$(bytes_of $(find "$WORK/out" -name '*.MXF'))")
  done
  hyperfine -N -w 1 -r 5 --export-json "$json" --prepare "rm -rf $WORK/cp $WORK/out" "${args[@]}" >/dev/null
  python3 - "$json" "$label" "${sizes[@]}" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
wall = {r["command"]: r["mean"] for r in results}
cpu = {r["command"]: r["user"] + r["system"] for r in results}
in_s, out_s, in_l, out_l = map(int, sys.argv[3:7])
for name, t in (("wall", wall), ("cpu", cpu)):
    cp = (in_l - in_s) / (t["cp-long"] - t["cp-short"])
    ours = (out_l - out_s) / (t["vorn-long"] - t["vorn-short"])
    print(f"{sys.argv[2]:28s} {name:4s} steady state: cp {cp / 1e6:7.1f} MB/s  vorn {ours / 1e6:7.1f} MB/s (output)"
          f"  ratio {ours / cp:4.2f}   whole long run: ratio {(out_l / t['vorn-long']) / (in_l / t['cp-long']):4.2f}")
PY
}
copy "2:3:3:2 removal (DVCPRO50)" 0003QV RemovePulldown=1
copy "rewrap (DVCPRO HD 1080i)" 0001QV

# Steady-state speed of 3:2 removal with re-encode: the long clip minus the short one.
frames_short=$(( $(cat "$WORK/short/CONTENTS/CLIP/0001QV.XML" | grep -o '<Duration>[0-9]*' | grep -o '[0-9]*') ))
frames_long=$(( $(cat "$WORK/long/CONTENTS/CLIP/0001QV.XML" | grep -o '<Duration>[0-9]*' | grep -o '[0-9]*') ))
json="$WORK/removal.json"
hyperfine -N -w 1 -r 3 --export-json "$json" --prepare "rm -rf $WORK/out" \
  -n short "$VORN --options $OPTS convert --quiet --set RemovePulldown=1 --dest $WORK/out $WORK/short/CONTENTS/VIDEO/0001QV.MXF" \
  -n long "$VORN --options $OPTS convert --quiet --set RemovePulldown=1 --dest $WORK/out $WORK/long/CONTENTS/VIDEO/0001QV.MXF" >/dev/null
python3 - "$json" "$frames_short" "$frames_long" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
wall = {r["command"]: r["mean"] for r in results}
cpu = {r["command"]: r["user"] + r["system"] for r in results}
n1, n2 = int(sys.argv[2]), int(sys.argv[3])
print(f"3:2 removal 1080i59.94 re-encode: {(n2 - n1) / (wall['long'] - wall['short']):6.1f} source frames/s "
      f"(steady state, {n2} - {n1} frames); {(n2 - n1) / (cpu['long'] - cpu['short']):6.1f} frames per CPU second")
PY

# Peak resident memory of each kind of conversion.
peak() { # label settings... -- path
  local label=$1; shift
  local sets=() path
  while [ "$1" != "--" ]; do sets+=(--set "$1"); shift; done
  path=$2
  rm -rf "$WORK/out"
  /usr/bin/time -v "$VORN" --options "$OPTS" convert --quiet "${sets[@]}" --dest "$WORK/out" "$path" \
    >/dev/null 2>"$WORK/time.txt" || true
  printf "%-36s peak RSS %6d MB\n" "$label" $(( $(grep 'Maximum resident' "$WORK/time.txt" | grep -o '[0-9]*$') / 1024 ))
}
peak "whole card, defaults" -- "$WORK/long"
peak "whole card, pulldown removal" RemovePulldown=1 -- "$WORK/long"
peak "3:2 removal 1080i59.94" RemovePulldown=1 -- "$WORK/long/CONTENTS/VIDEO/0001QV.MXF"
echo "load: $(uptime | sed 's/.*load average: //')"
