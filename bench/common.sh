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
