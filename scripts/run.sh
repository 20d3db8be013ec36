#!/usr/bin/env bash
# Builds the `vorn` program if needed, then:
#   scripts/run.sh           the demo: writes a sample P2 card into the demo
#                            folder (build/demo, or $VORN_DEMO), converts it with
#                            pulldown removal into the demo folder's "out" and
#                            prints the log;
#   scripts/run.sh ARGS...   runs `vorn ARGS`.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" build >&2
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target vorn >/dev/null
vorn="$root/build/cli/vorn"
if [ $# -gt 0 ]; then
  exec "$vorn" "$@"
fi

demo="${VORN_DEMO:-$root/build/demo}"
# The demo folder is the script's own: it is emptied only when it carries the mark.
if [ -e "$demo" ] && [ ! -e "$demo/.vorn-demo" ] && [ -n "$(ls -A "$demo" 2>/dev/null)" ]; then
  echo "run.sh: $demo exists and is not a demo folder made by this script; set VORN_DEMO to another folder" >&2
  exit 2
fi
rm -rf "$demo/card" "$demo/out"
mkdir -p "$demo"
touch "$demo/.vorn-demo"

echo "== vorn sample $demo/card"
"$vorn" sample "$demo/card"
echo
echo "== vorn convert --set RemovePulldown=1 --dest $demo/out $demo/card"
# A fresh options file: the demo does not depend on (or change) the user's settings.
status=0
"$vorn" --options "$demo/options.txt" convert --set RemovePulldown=1 --dest "$demo/out" "$demo/card" || status=$?
echo
echo "== vorn describe $demo/out/Card1"
"$vorn" describe "$demo/out/Card1" || true
exit $status
