#!/usr/bin/env bash
# Soak of `vorn convert` over many clips (a benchmark, not a test).
# Usage: bench/soak.sh [BUILD_DIR] [CLIPS]   (CLIPS: 1-4000, default 1000)
# CLIPS one-frame DV25 clips (hard links to one clip made by `vorn wrap`) are
# converted into an empty destination, then converted again into the same
# destination, where every name is taken and each clip gets the next free one.
# Printed for each run: the whole time and the time per clip, the time per
# clip over the first and the last tenth of the clips (from the --report
# record; flat means the run stays linear), and the resident memory sampled
# every 0.2 s (first sample, last sample, peak). Aim: the re-run within 2x of
# the first run, per-clip times flat, memory flat.
set -euo pipefail
BUILD=${1:-build}
CLIPS=${2:-1000}
# Without common.sh: this script needs no hyperfine.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$BUILD" in /*) VORN=$BUILD/cli/vorn ;; *) VORN=$ROOT/$BUILD/cli/vorn ;; esac
[ -x "$VORN" ] || { echo "no $VORN (build the vorn target first)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "python3 is needed" >&2; exit 2; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
[ "$CLIPS" -ge 1 ] && [ "$CLIPS" -le 4000 ] || { echo "CLIPS must be 1-4000" >&2; exit 2; }
echo "load: $(uptime | sed 's/.*load average: //')  processors: $(nproc)  clips: $CLIPS"

# One DV25 NTSC frame with two audio channels, taken from the sample card.
"$VORN" sample --seconds 1 "$WORK/sample" >/dev/null
dd if="$WORK/sample/CONTENTS/VIDEO/0005QV.MXF" of="$WORK/frame.dif" bs=64K iflag=skip_bytes,count_bytes skip=32768 count=120000 status=none
head -c 3204 /dev/zero >"$WORK/a0.pcm"
head -c 3204 /dev/zero >"$WORK/a1.pcm"
"$VORN" wrap --format 10 --rate 30000/1001 --name 0001SK --audio "$WORK/a0.pcm" --audio "$WORK/a1.pcm" \
  --dest "$WORK/one" "$WORK/frame.dif" >/dev/null
ONE="$WORK/one/Card1/CONTENTS"
SRC="$WORK/src/CONTENTS"
mkdir -p "$SRC/VIDEO" "$SRC/AUDIO" "$SRC/CLIP"
for ((n = 1; n <= CLIPS; n++)); do
  name=$(printf "%04dSK" "$n")
  ln "$ONE/VIDEO/0001SK.MXF" "$SRC/VIDEO/$name.MXF"
  ln "$ONE/AUDIO/0001SK00.MXF" "$SRC/AUDIO/${name}00.MXF"
  ln "$ONE/AUDIO/0001SK01.MXF" "$SRC/AUDIO/${name}01.MXF"
  ln "$ONE/CLIP/0001SK.XML" "$SRC/CLIP/$name.XML"
done

python3 - "$VORN" "$WORK" "$CLIPS" <<'PY'
import json, subprocess, sys, time
vorn, work, clips = sys.argv[1], sys.argv[2], int(sys.argv[3])

def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None

def run(label):
    report = f"{work}/{label}.json"
    cmd = [vorn, "--options", f"{work}/options.txt", "convert", "--quiet", "--dest", f"{work}/out",
           "--report", report, f"{work}/src"]
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    samples = []
    while p.poll() is None:
        r = rss_kb(p.pid)
        if r:
            samples.append(r)
        time.sleep(0.2)
    wall = time.perf_counter() - t0
    err = p.stderr.read().decode(errors="replace")
    if p.returncode != 0:
        sys.exit(f"{label}: vorn convert failed ({p.returncode})\n{err}")
    rep = json.load(open(report))
    per = [c["seconds"] for c in rep["clips"]]
    done = sum(1 for c in rep["clips"] if c["result"] == "complete")
    tenth = max(1, len(per) // 10)
    first, last = sum(per[:tenth]) / tenth, sum(per[-tenth:]) / tenth
    samples = samples or [0]
    print(f"{label:8s} {done}/{clips} clips  {wall:7.2f} s  {1000 * wall / clips:7.2f} ms/clip  "
          f"first tenth {1000 * first:6.2f} ms/clip  last tenth {1000 * last:6.2f} ms/clip  "
          f"RSS first {samples[0] / 1024:.1f} MB last {samples[-1] / 1024:.1f} MB peak {max(samples) / 1024:.1f} MB")
    return wall

a = run("first")
b = run("re-run")
print(f"re-run / first run: {b / a:4.2f} (aim: <= 2)")
PY
echo "load: $(uptime | sed 's/.*load average: //')"
