#!/usr/bin/env bash
# The clang build (build-clang/, clang 14, warnings as errors) and clang-tidy's
# bugprone-* and concurrency-* checks (.clang-tidy) over the product's sources.
#   scripts/clang-tidy.sh            every source file of the product
#   scripts/clang-tidy.sh FILE...    only these files
# Exits non-zero when the build fails or clang-tidy reports a finding.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh tidy
build=build-clang
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_WERROR=ON \
  -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_GUI=OFF -DVORN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(find foundation dv avci mxf engine cli -name '*.cpp' | sort)
fi
log="$build/clang-tidy.log"
run-clang-tidy-14 -quiet -p "$build" -j "$(nproc)" "${files[@]}" >"$log" 2>&1 || true
findings=$(grep -cE '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' "$log" || true)
grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' "$log" | sort -u || true
echo "clang-tidy: $findings finding(s) in ${#files[@]} file(s); full output in $log"
[ "$findings" -eq 0 ]
