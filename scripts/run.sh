#!/usr/bin/env bash
# Builds the release configuration and runs the main job: the relaykeeper server, in its window
# when a display is available, otherwise headless with its log on standard output (Ctrl-C stops
# it). Arguments are passed to relaykeeper, e.g. `bash scripts/run.sh --headless --port 3479`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQYN_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "${JOBS:-$(nproc)}"
program=build/release/apps/relaykeeper/relaykeeper
if [ ! -x "$program" ]; then
  echo "relaykeeper was not built (Qt 6 Widgets missing?); the libraries and benchmarks are in build/release." >&2
  exit 1
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  case " $* " in *" --headless "*) ;; *) set -- --headless "$@" ;; esac
fi
exec "$program" "$@"
