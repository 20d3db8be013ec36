#!/usr/bin/env bash
# Builds the `vorn` program if needed and runs `vorn ARGS`.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" build >&2
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" --target vorn >/dev/null
exec "$root/build/cli/vorn" "$@"
