#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the release build,
# then the mutation tests again under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_GUI=ON
cmake --build build -j "$jobs"
export VORN_REQUIRE_ORACLES=1
# The desktop program's tests need no display.
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON -DVORN_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs" --target fuzz_tests
ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-asan -L fuzz --output-on-failure -j "$jobs" --no-tests=ignore
