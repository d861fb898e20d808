#!/usr/bin/env bash
# Builds the release configuration and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQYN_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "${JOBS:-$(nproc)}"
echo "The relaykeeper and relayprobe programs are not built yet; the libraries and benchmarks are in build/release."
