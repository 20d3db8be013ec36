#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test:
#  0. the include check of the folders' layers (scripts/check-layers.sh);
#  1. the release build and the whole suite;
#  2. the whole suite again under AddressSanitizer and UBSan (build-asan/);
#  3. the export and worker-pool tests under ThreadSanitizer (build-tsan/);
#  4. each libFuzzer target for VORN_FUZZ_SECONDS (default 30) seconds (build-fuzz/, clang).
# Each step's time is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
scripts/deps.sh fuzz
jobs=$(nproc)
times=()
step_start() { step_name=$1; step_began=$SECONDS; echo "=== $step_name"; }
step_end() { times+=("$(printf '%-34s %4d s' "$step_name" $((SECONDS - step_began)))"); }

export VORN_REQUIRE_ORACLES=1
# The desktop program's tests need no display.
export QT_QPA_PLATFORM=offscreen

step_start "include layers"
scripts/check-layers.sh
step_end

# The release build treats warnings as errors.
step_start "release build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_GUI=ON -DVORN_WERROR=ON
cmake --build build -j "$jobs"
step_end
step_start "release suite"
ctest --test-dir build --output-on-failure -j "$jobs"
step_end

step_start "ASan+UBSan build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON -DVORN_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
step_end
step_start "ASan+UBSan suite"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 1500
step_end

# The tests that run the export thread, the codec workers and the worker pool.
tsan_tests='WorkerPool|TevThread|Workers|ExportDriver|ExportPipeline|ExportCopy|ExportReencode'
step_start "TSan build"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TSAN=ON -DVORN_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target vorn test_foundation test_dv test_engine
step_end
step_start "TSan tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan -R "$tsan_tests" --output-on-failure -j "$jobs" --timeout 1500
step_end

step_start "fuzz build"
VORN_FUZZ_JOBS=$jobs scripts/fuzz.sh --build
step_end
for target in $(scripts/fuzz.sh --list); do
  step_start "fuzz $target"
  log="build-fuzz/fuzz-$target.log"
  # A fixed seed makes a run repeatable from the same corpus (VORN_FUZZ_SEED=0: a new one each run).
  if ! scripts/fuzz.sh "$target" "${VORN_FUZZ_SECONDS:-30}" -seed="${VORN_FUZZ_SEED:-1}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz target $target failed (input in build-fuzz/crashes/$target)"
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
  step_end
done

echo "=== step times"
printf '%s\n' "${times[@]}"
