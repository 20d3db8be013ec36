# Shared set-up of the whole-process benchmark scripts; source it after setting
# BUILD (build folder) and NEEDED (programs the script runs besides vorn).
# Sets VORN (the program) and WORK (a scratch folder removed on exit).
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$BUILD" in /*) VORN=$BUILD/cli/vorn ;; *) VORN=$ROOT/$BUILD/cli/vorn ;; esac
[ -x "$VORN" ] || { echo "no $VORN (build the vorn target first)" >&2; exit 2; }
for tool in hyperfine python3 $NEEDED; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# report JSON LABEL THREADS FRAMES: frames per second of the commands named
# "ffmpeg" and "vorn" in a hyperfine JSON export, and their ratio.
report() {
  python3 - "$1" "$2" "$3" "$4" <<'PY'
import json, sys
res = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
frames = int(sys.argv[4])
ff, ours = frames / res["ffmpeg"], frames / res["vorn"]
print(f"{sys.argv[2]:10s} threads {sys.argv[3]}: ffmpeg {ff:7.1f} fps  vorn {ours:7.1f} fps  ratio {ours / ff:4.2f}")
PY
}

# Steady state: start-up costs (about 100 ms for FFmpeg) hide the per-frame
# speed in a whole-process time, so every command is run on N and on 2N frames
# and only the difference, the time of N extra frames, is compared.
#
# steady LABEL THREADS FRAMES FFMPEG_CMD VORN_CMD: the commands carry @N@ where
# the frame count goes (a file name such as $WORK/hd.@N@.dif, or an option);
# it becomes FRAMES and 2 x FRAMES. One hyperfine run times all four commands
# so they see the same machine load. Prints the steady frames per second of
# each program and their ratio (above 1: vorn is faster), the CPU time (user +
# system) per extra frame of each and its ratio vorn / ffmpeg, and the load.
steady() {
  local label=$1 threads=$2 n=$3 ff=$4 ours=$5 n2=$(($3 * 2))
  local json="$WORK/steady-$RANDOM$RANDOM.json"
  hyperfine -N -w "${WARMUP:-1}" -r "${RUNS:-7}" --export-json "$json" \
    -n ffmpeg-N "${ff//@N@/$n}" -n ffmpeg-2N "${ff//@N@/$n2}" \
    -n vorn-N "${ours//@N@/$n}" -n vorn-2N "${ours//@N@/$n2}" >/dev/null
  python3 - "$json" "$label" "$threads" "$n" "$(cut -d' ' -f1-3 /proc/loadavg)" <<'PY'
import json, sys
res = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
n = int(sys.argv[4])
def per_frame(name, key):
    a, b = res[name + "-N"], res[name + "-2N"]
    if key == "cpu":
        return ((b["user"] + b["system"]) - (a["user"] + a["system"])) / n
    return (b["median"] - a["median"]) / n
ff, ours = per_frame("ffmpeg", "wall"), per_frame("vorn", "wall")
ffc, ourc = per_frame("ffmpeg", "cpu"), per_frame("vorn", "cpu")
fps = lambda t: 1 / t if t > 0 else float("inf")
print(f"{sys.argv[2]:16s} threads {sys.argv[3]}: steady ffmpeg {fps(ff):7.1f} fps  vorn {fps(ours):7.1f} fps"
      f"  ratio {ff / ours if ours > 0 else float('inf'):5.2f} | CPU/frame ffmpeg {1000 * ffc:6.2f} ms"
      f"  vorn {1000 * ourc:6.2f} ms  vorn/ffmpeg {ourc / ffc if ffc > 0 else float('nan'):4.2f} | load {sys.argv[5]}")
PY
}

# cut_frames SRC BYTES_PER_FRAME COUNT DEST: the first COUNT frames of SRC.
cut_frames() {
  head -c $(($2 * $3)) "$1" >"$4"
}
