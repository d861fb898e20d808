#!/usr/bin/env bash
# ChannelData messages per second through a TURN relay: the Qynwire TURN client component against
# our TURN server component (turn_relay_bench --serve: the listening binding on its listener
# thread, the relay bindings on the shared poller) and against coturn's turnserver (one relay
# thread, -m 1, loopback peers allowed), with an echo peer in the client's process; each message
# makes the round trip client -> relay -> peer -> relay -> client. The rounds alternate between the
# servers, so that other load on the machine affects both alike.
#
# Usage: bench/run_turn_channeldata.sh [SECONDS] [ROUNDS] [WINDOW] [SIZE]
#   BUILD=<dir>       build directory (default build/release); configured and built when the
#                     programs are missing.
#   SERVERS="..."     the servers to run, in round order (default "ours coturn").
# Prints one line per server and round: the client's figures (rate, lost, bad, client and peer CPU
# per message) and the server's CPU time per message; then the medians of each server.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_RUN=${1:-5}
ROUNDS=${2:-3}
WINDOW=${3:-16}
SIZE=${4:-100}
BUILD=${BUILD:-build/release}
SERVERS=${SERVERS:-ours coturn}
BENCH="$BUILD/bench/turn_channeldata_bench"

if [ ! -x "$BENCH" ] || [ ! -x "$BUILD/bench/turn_relay_bench" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQYN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j "${JOBS:-2}" --target turn_channeldata_bench turn_relay_bench >/dev/null
fi
case " $SERVERS " in *" coturn "*) command -v turnserver >/dev/null || { echo "turnserver (package coturn) is not installed" >&2; exit 1; } ;; esac

WORK=$(mktemp -d)
. bench/turn_bench_lib.sh
trap 'stop_server; rm -rf "$WORK"' EXIT

declare -A RATES CPUS
for round in $(seq "$ROUNDS"); do
  for server in $SERVERS; do
    case "$server" in
      ours) start_ours ;;
      coturn) start_coturn -m 1 ;;
      *) echo "unknown server $server" >&2; exit 2 ;;
    esac
    before=$(cpu_ticks "$SERVER_PID")
    line=$("$BENCH" --port "$SERVER_PORT" --seconds "$SECONDS_PER_RUN" --window "$WINDOW" --size "$SIZE") || true
    after=$(cpu_ticks "$SERVER_PID")
    stop_server
    received=$(sed -n 's/.* received=\([0-9]*\).*/\1/p' <<<"$line")
    rate=$(sed -n 's/.*messages_per_sec=\([0-9]*\).*/\1/p' <<<"$line")
    cpu=$(ns_per $((after - before)) "${received:-0}")
    echo "round $round: server=$server window=$WINDOW size=$SIZE $line server_cpu_ns_per_message=$cpu"
    RATES[$server]="${RATES[$server]:-} ${rate:-0}"
    CPUS[$server]="${CPUS[$server]:-} $cpu"
  done
done
for server in $SERVERS; do
  echo "median server=$server messages_per_sec=$(median "${RATES[$server]}") server_cpu_ns_per_message=$(median "${CPUS[$server]}")"
done
