#!/usr/bin/env bash
# Relayed datagrams per second through 1 and through 100 allocations, loaded as hard as the
# machine allows from another process (turn_relay_bench --load: one socket per allocation, a
# channel to an echo peer in the load process, a window of ChannelData messages in flight per
# allocation), against our TURN server component (turn_relay_bench --serve, neNoSync) and coturn's
# turnserver (-m 1 and default threads). The server relays two datagrams per message (client to
# peer and back). The rounds alternate between the servers.
#
# Usage: bench/run_turn_relay_load.sh [SECONDS] [ROUNDS]
#   BUILD=<dir>        release build directory (default build/release); built when missing.
#   SERVERS="..."      servers in round order (default "ours coturn-m1 coturn").
#   LOADS="N:W ..."    allocations N with W messages in flight each (default "1:8 100:2").
# Prints one line per server, load and round: rate, lost, bad, the server's CPU time per relayed
# datagram and its peak RSS; then the medians and our CPU per relayed datagram as a share of each
# coturn's.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_RUN=${1:-5}
ROUNDS=${2:-3}
BUILD=${BUILD:-build/release}
SERVERS=${SERVERS:-ours coturn-m1 coturn}
LOADS=${LOADS:-1:8 100:2}
BENCH="$BUILD/bench/turn_relay_bench"

if [ ! -x "$BENCH" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQYN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j "${JOBS:-2}" --target turn_relay_bench >/dev/null
fi
case " $SERVERS " in *" coturn"*) command -v turnserver >/dev/null || { echo "turnserver (package coturn) is not installed" >&2; exit 1; } ;; esac

WORK=$(mktemp -d)
. bench/turn_bench_lib.sh
trap 'stop_server; rm -rf "$WORK"' EXIT

declare -A RATE CPUNS LOST
for round in $(seq "$ROUNDS"); do
  for load in $LOADS; do
    allocations=${load%%:*}
    window=${load##*:}
    for server in $SERVERS; do
      started=0
      case "$server" in
        ours) start_ours && started=1 ;;
        coturn-m1) start_coturn -m 1 && started=1 ;;
        coturn) start_coturn && started=1 ;;
        *) echo "unknown server $server" >&2; exit 2 ;;
      esac
      if [ "$started" != 1 ]; then
        echo "round $round: server=$server did not start"
        stop_server
        continue
      fi
      # The allocations are made before the measured interval: CPU counts from the first message.
      line=$("$BENCH" --load --target "$SERVER_PORT" --allocations "$allocations" --window "$window" \
               --seconds "$SECONDS_PER_RUN" --cpu-of "$SERVER_PID") || true
      rss=$(peak_rss_kb "$SERVER_PID" 2>/dev/null || echo 0)
      stop_server
      received=$(sed -n 's/.* received=\([0-9]*\).*/\1/p' <<<"$line")
      ticks=$(sed -n 's/.* server_cpu_ticks=\([0-9]*\).*/\1/p' <<<"$line")
      rate=$(sed -n 's/.*relayed_per_sec=\([0-9]*\).*/\1/p' <<<"$line")
      lost=$(sed -n 's/.* lost=\([0-9]*\).*/\1/p' <<<"$line")
      cpuns=$(ns_per "${ticks:-0}" $((2 * ${received:-0})))
      echo "round $round: server=$server $line server_cpu_ns_per_relayed=$cpuns peak_rss_kb=${rss:-0}"
      key="$server/$allocations"
      [ "${received:-0}" -gt 0 ] || continue # a run that did not start stays out of the medians
      RATE[$key]="${RATE[$key]:-} ${rate:-0}"
      CPUNS[$key]="${CPUNS[$key]:-} $cpuns"
      LOST[$key]="${LOST[$key]:-} ${lost:-0}"
    done
  done
done
for load in $LOADS; do
  allocations=${load%%:*}
  for server in $SERVERS; do
    key="$server/$allocations"
    echo "median server=$server allocations=$allocations relayed_per_sec=$(median "${RATE[$key]}")" \
         "server_cpu_ns_per_relayed=$(median "${CPUNS[$key]}") lost=$(median "${LOST[$key]}")"
  done
  for server in coturn-m1 coturn; do
    [ -n "${CPUNS[$server/$allocations]:-}" ] && [ -n "${CPUNS[ours/$allocations]:-}" ] || continue
    awk -v o="$(median "${CPUNS[ours/$allocations]}")" -v c="$(median "${CPUNS[$server/$allocations]}")" -v s="$server" -v n="$allocations" \
      'BEGIN { if (c > 0) printf "allocations=%s cpu per relayed datagram ours/%s=%.2f\n", n, s, o / c }'
  done
done
