#!/usr/bin/env bash
# coturn's turnutils_uclient relaying through a TURN server to turnutils_peer on loopback, side by
# side: our TURN server component (turn_relay_bench --serve, neNoSync: the listening binding on its
# listener thread, the relay bindings on the shared poller), coturn's turnserver with one relay
# thread (-m 1) and with its default threads.
# The rounds alternate between the servers, so that other load on the machine affects all alike.
# Each message goes uclient -> server -> relay -> peer -> relay -> server -> uclient: the server
# relays two datagrams per message.
#
# Usage: bench/run_turn_uclient_compare.sh [ROUNDS]
#   BUILD=<dir>      release build directory (default build/release); configured and built when
#                    turn_relay_bench is missing.
#   SERVERS="..."    servers in round order (default "ours coturn-m1 coturn"; "ours-anon" runs ours
#                    and uclient without credentials).
#   CLIENTS, MESSAGES, LENGTH, INTERVAL_MS, EXTRA   uclient's -m, -n, -l, -z (default 50 4000 170 2,
#                    25,000 messages/s offered) and further uclient options (EXTRA="-s"
#                    for Send/Data indications instead of channels).
# Prints one line per server and round: messages sent and received, loss, uclient's average round
# trip, the server's CPU seconds for the run and per relayed datagram, its peak RSS (VmHWM); then
# the medians of each server and our CPU per relayed datagram as a share of each coturn's.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${1:-3}
BUILD=${BUILD:-build/release}
SERVERS=${SERVERS:-ours coturn-m1 coturn}
CLIENTS=${CLIENTS:-50}
MESSAGES=${MESSAGES:-4000}
LENGTH=${LENGTH:-170}
INTERVAL_MS=${INTERVAL_MS:-2}
EXTRA=${EXTRA:-}

if [ ! -x "$BUILD/bench/turn_relay_bench" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQYN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j "${JOBS:-2}" --target turn_relay_bench >/dev/null
fi
for tool in turnserver turnutils_uclient turnutils_peer; do
  command -v "$tool" >/dev/null || { echo "$tool (package coturn) is not installed" >&2; exit 1; }
done

WORK=$(mktemp -d)
. bench/turn_bench_lib.sh
PEER_PID=""
stop_peer() {
  if [ -n "$PEER_PID" ] && kill -0 "$PEER_PID" 2>/dev/null; then
    kill "$PEER_PID" 2>/dev/null || true
    wait "$PEER_PID" 2>/dev/null || true
  fi
  PEER_PID=""
}
trap 'stop_server; stop_peer; rm -rf "$WORK"' EXIT

# The last value of NAME=N in uclient's output.
total() { { grep -o "$1=[0-9]*" "$WORK/uclient.out" || true; } | tail -1 | cut -d= -f2; }

declare -A LOSS RTT CPU CPUNS RSS
for round in $(seq "$ROUNDS"); do
  for server in $SERVERS; do
    credentials="-u qyn_user -w kiwi_tea"
    started=0
    case "$server" in
      ours) start_ours && started=1 ;;
      ours-anon) start_ours --auth off && started=1; credentials="" ;;
      coturn-m1) start_coturn -m 1 && started=1 ;;
      coturn) start_coturn && started=1 ;;
      *) echo "unknown server $server" >&2; exit 2 ;;
    esac
    if [ "$started" != 1 ]; then
      echo "round $round: server=$server did not start"
      stop_server
      continue
    fi
    peer_port=$(free_port)
    turnutils_peer -L 127.0.0.1 -p "$peer_port" >"$WORK/peer.out" 2>&1 &
    PEER_PID=$!
    for _ in $(seq 100); do
      ss -H -uln "sport = :$peer_port" 2>/dev/null | grep -q . && break
      sleep 0.1
    done
    before=$(cpu_ticks "$SERVER_PID")
    # shellcheck disable=SC2086
    timeout 300 turnutils_uclient $credentials -e 127.0.0.1 -r "$peer_port" -p "$SERVER_PORT" -c \
      -m "$CLIENTS" -n "$MESSAGES" -l "$LENGTH" -z "$INTERVAL_MS" $EXTRA 127.0.0.1 >"$WORK/uclient.out" 2>&1 || true
    after=$(cpu_ticks "$SERVER_PID" 2>/dev/null || echo "$before")
    rss=$(peak_rss_kb "$SERVER_PID" 2>/dev/null || echo 0)
    stop_peer
    stop_server
    sent=$(total tot_send_msgs); sent=${sent:-0}
    received=$(total tot_recv_msgs); received=${received:-0}
    rtt=$(sed -n 's/.*Average round trip delay \([0-9.]*\) ms.*/\1/p' "$WORK/uclient.out" | tail -1)
    rtt=${rtt:-nan}
    errors=$(grep -ci "error" "$WORK/uclient.out" || true)
    [ "$errors" = 0 ] || { echo "round $round: server=$server uclient: $(grep -i -m1 "error" "$WORK/uclient.out")"; }
    loss=$((sent - received))
    cpu=$(ticks_to_seconds $((after - before)))
    cpuns=$(ns_per $((after - before)) $((2 * received)))
    echo "round $round: server=$server sent=$sent received=$received lost=$loss rtt_avg_ms=$rtt server_cpu_s=$cpu" \
         "server_cpu_ns_per_relayed=$cpuns peak_rss_kb=${rss:-0} uclient_error_lines=$errors"
    # A run that relayed nothing (uclient gave up, see its error above) stays out of the medians.
    [ "$received" -gt 0 ] || continue
    LOSS[$server]="${LOSS[$server]:-} $loss"
    RTT[$server]="${RTT[$server]:-} $rtt"
    CPU[$server]="${CPU[$server]:-} $cpu"
    CPUNS[$server]="${CPUNS[$server]:-} $cpuns"
    RSS[$server]="${RSS[$server]:-} ${rss:-0}"
  done
done
for server in $SERVERS; do
  echo "median server=$server lost=$(median "${LOSS[$server]}") rtt_avg_ms=$(median "${RTT[$server]}")" \
       "server_cpu_s=$(median "${CPU[$server]}") server_cpu_ns_per_relayed=$(median "${CPUNS[$server]}")" \
       "peak_rss_kb=$(median "${RSS[$server]}")"
done
ours=$(median "${CPUNS[ours]:-}")
for server in coturn-m1 coturn; do
  [ -n "${CPUNS[$server]:-}" ] && [ -n "${CPUNS[ours]:-}" ] || continue
  awk -v o="$ours" -v c="$(median "${CPUNS[$server]}")" -v s="$server" \
    'BEGIN { if (c > 0) printf "cpu per relayed datagram ours/%s=%.2f\n", s, o / c }'
done
