#!/usr/bin/env bash
# Coverage-guided fuzzing with libFuzzer (clang, AddressSanitizer and UBSan).
#   scripts/fuzz.sh --list                 the targets
#   scripts/fuzz.sh --build                builds every target and the seed writer
#   scripts/fuzz.sh TARGET SECONDS [ARGS]  builds the fuzz tree in build-fuzz/ if needed and
#                                          runs TARGET for SECONDS (ARGS go to libFuzzer)
# The corpus grows in build-fuzz/corpus/TARGET, starting from seeds written from
# the test fixtures; inputs that fail go to build-fuzz/crashes/TARGET. A failing
# input belongs, once fixed, in tests/fuzz/crashes/TARGET/, where the regression
# test (test_fuzz) replays it. Set VORN_FUZZ_JOBS for the build's job count (default 2).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
targets=$(sed -n 's/^set(VORN_FUZZERS \(.*\))$/\1/p' tests/fuzz/CMakeLists.txt)

usage() { echo "usage: scripts/fuzz.sh --list | --build | TARGET SECONDS [libFuzzer args]" >&2; exit 2; }
[ $# -ge 1 ] || usage
if [ "$1" = "--list" ]; then
  for t in $targets; do echo "$t"; done
  exit 0
fi

build=build-fuzz
configure() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON \
      -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_GUI=OFF >/dev/null
  fi
}
if [ "$1" = "--build" ]; then
  configure
  cmake --build "$build" -j "${VORN_FUZZ_JOBS:-2}" --target fuzzers
  exit 0
fi
[ $# -ge 2 ] || usage
target=$1 seconds=$2
shift 2
case " $targets " in *" $target "*) ;; *) echo "fuzz.sh: no target named $target (see --list)" >&2; exit 2 ;; esac
[[ "$seconds" =~ ^[0-9]+$ ]] || usage

configure
cmake --build "$build" -j "${VORN_FUZZ_JOBS:-2}" --target "fuzzer_$target" fuzz_seeds >/dev/null

corpus="$build/corpus/$target"
crashes="$build/crashes/$target"
mkdir -p "$corpus" "$crashes"
if [ -z "$(ls -A "$corpus")" ]; then
  "$build/tests/fuzz/fuzz_seeds" "$build/corpus" "$target" >/dev/null
fi
# Leaks are not looked for: the decoders keep process-wide work areas on purpose.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export VORN_LOG_FILE=
# The card and file targets write their inputs as files: in memory when possible.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
exec "$build/tests/fuzz/fuzzer_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 \
  -print_final_stats=1 -artifact_prefix="$crashes/" "$@" "$corpus"
