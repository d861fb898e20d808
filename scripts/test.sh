#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer, runs the fuzz targets
# for a bounded time, then the whole test suite through CTest.
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
cd "$BUILD"
ctest --output-on-failure -j "$JOBS" "$@"
