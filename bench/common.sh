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
# it becomes FRAMES and 2 x FRAMES. The four commands take turns, WARMUP (1)
# rounds unmeasured and then RUNS (7) rounds, so that a busy moment of the
# machine falls on all of them alike rather than on one command's whole series;
# each command's fastest run counts (other work on the machine only ever adds
# time), and the ratio of the medians is printed too. Prints the steady frames
# per second of each program and their ratio (above 1: vorn is faster), the CPU
# time (user + system) per extra frame of each and its ratio vorn / ffmpeg, and
# the load.
steady() {
  local label=$1 threads=$2 n=$3 ff=$4 ours=$5 n2=$(($3 * 2))
  python3 - "$label" "$threads" "$n" "${WARMUP:-1}" "${RUNS:-7}" \
    "${ff//@N@/$n}" "${ff//@N@/$n2}" "${ours//@N@/$n}" "${ours//@N@/$n2}" <<'PY'
import os, resource, shlex, statistics, subprocess, sys, time
label, threads, n, warmup, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
names = ["ffmpeg-N", "ffmpeg-2N", "vorn-N", "vorn-2N"]
cmds = dict(zip(names, (shlex.split(c) for c in sys.argv[6:10])))
wall = {k: [] for k in names}
cpu = {k: [] for k in names}
for r in range(warmup + runs):
    for k in names:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        done = subprocess.run(cmds[k], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        t1 = time.perf_counter()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if done.returncode != 0:
            sys.exit(f"{k} failed ({done.returncode}): {' '.join(cmds[k])}\n{done.stderr.decode(errors='replace')}")
        if r >= warmup:
            wall[k].append(t1 - t0)
            cpu[k].append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
def per_frame(prog, table, pick=min):
    return (pick(table[prog + "-2N"]) - pick(table[prog + "-N"])) / n
ff, ours = per_frame("ffmpeg", wall), per_frame("vorn", wall)
ffm, oursm = per_frame("ffmpeg", wall, statistics.median), per_frame("vorn", wall, statistics.median)
ffc, ourc = per_frame("ffmpeg", cpu), per_frame("vorn", cpu)
fps = lambda t: 1 / t if t > 0 else float("inf")
ratio = lambda a, b: a / b if b > 0 else float("inf")
load = " ".join(f"{x:.2f}" for x in os.getloadavg())
print(f"{label:16s} threads {threads}: steady ffmpeg {fps(ff):7.1f} fps  vorn {fps(ours):7.1f} fps"
      f"  ratio {ratio(ff, ours):5.2f} (medians {ratio(ffm, oursm):5.2f}) | CPU/frame ffmpeg {1000 * ffc:6.2f} ms"
      f"  vorn {1000 * ourc:6.2f} ms  vorn/ffmpeg {ratio(ourc, ffc):4.2f} | load {load}")
PY
}

# cut_frames SRC BYTES_PER_FRAME COUNT DEST: the first COUNT frames of SRC.
cut_frames() {
  head -c $(($2 * $3)) "$1" >"$4"
}
