#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under the sanitizers and runs each for a bounded time
# (first argument, seconds, split over the targets), starting from the seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TOTAL=${1:-60}

if ! command -v clang++ >/dev/null 2>&1 || [ -z "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ]; then
  echo "fuzz: clang's libFuzzer runtime is not installed; skipping"
  exit 0
fi
shopt -s nullglob
targets=(fuzz/*_fuzz.cpp)
[ ${#targets[@]} -eq 0 ] && exit 0

BUILD=build/fuzz
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQYN_BUILD_FUZZ=ON \
  -DQYN_BUILD_TESTS=OFF -DQYN_BUILD_BENCH=OFF -DQYN_SANITIZE=address,undefined >/dev/null
cmake --build "$BUILD" -j "${JOBS:-$(nproc)}"

per=$(( SECONDS_TOTAL / ${#targets[@]} ))
[ "$per" -lt 5 ] && per=5
for src in "${targets[@]}"; do
  name=$(basename "$src" .cpp)
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
  echo "fuzz: $name for ${per}s"
  set +e
  "$BUILD/fuzz/$name" -max_total_time="$per" -print_final_stats=1 "$work" >"$work.log" 2>&1
  rc=$?
  set -e
  tail -n 12 "$work.log"; rm -f "$work.log"
  rm -rf "$work"
  [ "$rc" -eq 0 ] || { echo "fuzz: $name failed"; exit "$rc"; }
done
