#!/usr/bin/env bash
# Many simultaneous allocations on one TURN server (the component, neNoSync, authentication off),
# on loopback: the server runs in a child process of the benchmark, the parent is the load (one
# UDP socket per client, Allocate, CreatePermission and one Send indication each, echoed back by a
# peer socket). Reports allocations per second, RSS, descriptors and threads per allocation, the
# server's CPU while idle with every allocation held, and errors.
#
# Usage: bench/run_turn_allocations.sh [ALLOCATIONS] [OUTSTANDING] [IDLE_SECONDS]
#   BUILD=<dir>  build directory (default build/release); configured and built when the program
#                is missing.
# The hard limit on open descriptors must allow ALLOCATIONS + a few for the server, and as many
# for the clients (both sides raise their soft limit to it).
set -euo pipefail
cd "$(dirname "$0")/.."

ALLOCATIONS=${1:-10000}
OUTSTANDING=${2:-256}
IDLE=${3:-10}
BUILD=${BUILD:-build/release}
BENCH="$BUILD/bench/turn_allocations_bench"

if [ ! -x "$BENCH" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQYN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j "${JOBS:-2}" --target turn_allocations_bench >/dev/null
fi

echo "turn_allocations_bench --allocations $ALLOCATIONS --outstanding $OUTSTANDING --idle $IDLE (hard descriptor limit $(ulimit -Hn))"
exec "$BENCH" --allocations "$ALLOCATIONS" --outstanding "$OUTSTANDING" --idle "$IDLE"
