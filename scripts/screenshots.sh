#!/usr/bin/env bash
# Screenshots of the desktop program under a virtual X server: the main window
# after importing the sample card, the Options dialog, the About box, the update
# notice and both preview windows during a conversion. PNGs go to build/screenshots/.
# A small window manager (twm) gives the windows their title bars.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh screenshots
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_GUI=ON >/dev/null
cmake --build build --target vorn ui_screenshots
out=build/screenshots
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out" && mkdir -p "$out"
build/cli/vorn sample "$work/SAMPLE_CARD" >/dev/null
# Options, log and versions file of this run stay in the scratch folder.
export VORN_DATA_DIR="$work/data" VORN_LOG_FILE="$work/QelLog.txt" VORN_REGISTRY_FILE=
# Windows go where the program puts them, without asking.
printf '%s\n' 'UsePPosition "on"' RandomPlacement NoGrabServer DecorateTransients 'TitleFont "fixed"' 'ResizeFont "fixed"' \
  'MenuFont "fixed"' 'IconFont "fixed"' 'IconManagerFont "fixed"' > "$work/twmrc"
cat > "$work/session.sh" <<'SESSION'
#!/usr/bin/env bash
if command -v twm >/dev/null; then
  LC_ALL=C twm -f "$TWMRC" 2>/dev/null &
  sleep 1
fi
exec "$@"
SESSION
chmod +x "$work/session.sh"
TWMRC="$work/twmrc" xvfb-run -a -s "-screen 0 1600x1200x24" \
  "$work/session.sh" build/tests/ui/ui_screenshots "$work/SAMPLE_CARD" "$out" "$work/out"
ls -1 "$out"
