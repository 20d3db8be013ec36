#!/usr/bin/env bash
# Builds if needed and runs `vorn ARGS`.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" build >&2
"$root/scripts/build.sh" >&2
exec "$root/build/cli/vorn" "$@"
