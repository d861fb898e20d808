#!/usr/bin/env bash
# ChannelData messages per second through a TURN relay: the Qynwire TURN client component against
# coturn's turnserver (one relay thread, -m 1, loopback peers allowed), with an echo peer in the
# client's process; each message makes the round trip client -> relay -> peer -> relay -> client.
#
# Usage: bench/run_turn_channeldata.sh [SECONDS] [ROUNDS] [WINDOW] [SIZE]
#   BUILD=<dir>  build directory (default build/release); configured and built when the program
#                is missing.
# Prints one line per round: the client's figures (rate, lost, bad, client and peer CPU per message)
# and coturn's CPU time per message.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_RUN=${1:-5}
ROUNDS=${2:-3}
WINDOW=${3:-16}
SIZE=${4:-100}
BUILD=${BUILD:-build/release}
BENCH="$BUILD/bench/turn_channeldata_bench"

if [ ! -x "$BENCH" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQYN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j "${JOBS:-2}" --target turn_channeldata_bench >/dev/null
fi
command -v turnserver >/dev/null || { echo "turnserver (package coturn) is not installed" >&2; exit 1; }

free_port() { python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

WORK=$(mktemp -d)
COTURN_PID=""
cleanup() {
  if [ -n "$COTURN_PID" ] && kill -0 "$COTURN_PID" 2>/dev/null; then
    kill "$COTURN_PID" 2>/dev/null || true
    wait "$COTURN_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

for round in $(seq "$ROUNDS"); do
  port=$(free_port)
  turnserver -n --listening-ip 127.0.0.1 --relay-ip 127.0.0.1 --listening-port "$port" -m 1 \
    --lt-cred-mech --user qyn_user:kiwi_tea --realm Qynwire --fingerprint --allow-loopback-peers \
    --no-tls --no-dtls --no-tcp --no-cli --log-file "$WORK/coturn.log" --simple-log --no-stdout-log \
    >"$WORK/coturn.out" 2>&1 &
  COTURN_PID=$!
  for _ in $(seq 100); do
    ss -H -uln "sport = :$port" 2>/dev/null | grep -q . && break
    sleep 0.1
  done
  before=$(cpu_ticks "$COTURN_PID")
  line=$("$BENCH" --port "$port" --seconds "$SECONDS_PER_RUN" --window "$WINDOW" --size "$SIZE") || true
  after=$(cpu_ticks "$COTURN_PID")
  kill "$COTURN_PID" 2>/dev/null || true
  wait "$COTURN_PID" 2>/dev/null || true
  COTURN_PID=""
  received=$(sed -n 's/.* received=\([0-9]*\).*/\1/p' <<<"$line")
  echo "round $round: server=coturn window=$WINDOW size=$SIZE $line server_cpu_ns_per_message=$(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v n="${received:-0}" 'BEGIN { printf "%.0f", (n > 0 ? t / hz * 1e9 / n : 0) }')"
done
