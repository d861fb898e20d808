#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer, runs the fuzz targets
# for a bounded time, then the whole test suite through CTest; then builds the tests with
# ThreadSanitizer and runs the unit and net suites under it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

JOBS=${JOBS:-$(nproc)}
BUILD=build/asan
cmake -S . -B "$BUILD" -G Ninja -DQYN_SANITIZE=address,undefined -DQYN_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS"

bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" "$@")

# Data races: the unit and net suites under ThreadSanitizer (two jobs: the tool slows every
# thread down, and the tests' deadlines are sized for that on two cores).
TSAN_BUILD=build/tsan
cmake -S . -B "$TSAN_BUILD" -G Ninja -DQYN_SANITIZE=thread -DQYN_BUILD_BENCH=OFF >/dev/null
cmake --build "$TSAN_BUILD" -j "$JOBS"
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
(cd "$TSAN_BUILD" && ctest -L "unit|net" -j2 --output-on-failure)
