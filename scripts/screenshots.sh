#!/usr/bin/env bash
# Screenshots of the desktop program under a virtual X server: the main window
# after importing the sample card, the Options dialog, the About box, the update
# notice and both preview windows during a conversion. PNGs go to build/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_GUI=ON >/dev/null
cmake --build build --target vorn ui_screenshots
out=build/screenshots
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out" && mkdir -p "$out"
build/cli/vorn sample "$work/SAMPLE_CARD" >/dev/null
# Options, log and versions file of this run stay in the scratch folder.
export VORN_DATA_DIR="$work/data" VORN_LOG_FILE="$work/QelLog.txt" VORN_REGISTRY_FILE=
xvfb-run -a -s "-screen 0 1600x1000x24" build/tests/ui/ui_screenshots "$work/SAMPLE_CARD" "$out" "$work/out"
ls -1 "$out"
