#!/usr/bin/env bash
# Binding responses per second: coturn's turnserver (one relay thread, -m 1) against the Qynwire
# STUN server component (one binding, answers on its listener thread), each loaded by the same
# load generator from another process over loopback with 16 requests outstanding from one socket.
#
# Usage: bench/run_binding_compare.sh [SECONDS] [ROUNDS]
#   BUILD=<dir>  release build directory (default build/release); it is configured and the two
#                programs are built when missing.
# Prints one line per server and round (rate and the server's CPU time per response), then the
# median and best figures of each and their ratios. The rounds alternate, so that other load on
# the machine affects both servers alike; compare the CPU times when the rates scatter.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_RUN=${1:-5}
ROUNDS=${2:-3}
BUILD=${BUILD:-build/release}
LOAD="$BUILD/bench/qyn_udp_load"
OURS="$BUILD/bench/stun_binding_bench"

if [ ! -x "$LOAD" ] || [ ! -x "$OURS" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQYN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j "${JOBS:-2}" --target qyn_udp_load stun_binding_bench >/dev/null
fi
command -v turnserver >/dev/null || { echo "turnserver (package coturn) is not installed" >&2; exit 1; }

# A free UDP port on loopback (the kernel picks it; a short race with other programs is accepted).
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

# User plus system CPU ticks of a process (all its threads).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
cpu_of() { sed -n 's/.*server_cpu_ns_per_response=\([0-9]*\).*/\1/p' <<<"$1"; }
rate_of() { sed -n 's/.*responses_per_sec=\([0-9]*\).*/\1/p' <<<"$1"; }
bad_of() { sed -n 's/.* bad=\([0-9]*\).*/\1/p' <<<"$1"; }

run_coturn() {
  local port; port=$(free_port)
  turnserver -n --listening-ip 127.0.0.1 --relay-ip 127.0.0.1 --listening-port "$port" -m 1 \
    --no-tls --no-dtls --no-tcp --no-cli --log-file "$WORK/coturn.log" --simple-log --no-stdout-log \
    >"$WORK/coturn.out" 2>&1 &
  COTURN_PID=$!
  for _ in $(seq 100); do
    ss -H -uln "sport = :$port" 2>/dev/null | grep -q . && break
    sleep 0.1
  done
  local before after line received
  before=$(cpu_ticks "$COTURN_PID")
  line=$("$LOAD" --target "127.0.0.1:$port" --mode binding --outstanding 16 --seconds "$SECONDS_PER_RUN")
  after=$(cpu_ticks "$COTURN_PID")
  kill "$COTURN_PID" 2>/dev/null || true
  wait "$COTURN_PID" 2>/dev/null || true
  COTURN_PID=""
  received=$(sed -n 's/.* received=\([0-9]*\).*/\1/p' <<<"$line")
  echo "server=coturn $line server_cpu_ns_per_response=$(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v n="${received:-0}" 'BEGIN { printf "%.0f", (n > 0 ? t / hz * 1e9 / n : 0) }')"
}

best_coturn=0
best_ours=0
rates_coturn=""
rates_ours=""
cpu_coturn=""
cpu_ours=""
all_correct=1
for round in $(seq "$ROUNDS"); do
  c=$(run_coturn)
  echo "round $round: $c"
  o=$("$OURS" --seconds "$SECONDS_PER_RUN")
  echo "round $round: $o"
  rc=$(rate_of "$c"); ro=$(rate_of "$o")
  [ "${rc:-0}" -gt "$best_coturn" ] && best_coturn=$rc
  [ "${ro:-0}" -gt "$best_ours" ] && best_ours=$ro
  [ "$(bad_of "$o")" = "0" ] || all_correct=0
  rates_coturn="$rates_coturn ${rc:-0}"
  rates_ours="$rates_ours ${ro:-0}"
  cpu_coturn="$cpu_coturn $(cpu_of "$c")"
  cpu_ours="$cpu_ours $(cpu_of "$o")"
done

# Median of a list of numbers.
median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : int((a[NR / 2] + a[NR / 2 + 1]) / 2) }'; }
med_coturn=$(median "$rates_coturn")
med_ours=$(median "$rates_ours")
echo "coturn   median responses_per_sec=$med_coturn server_cpu_ns_per_response=$(median "$cpu_coturn")"
echo "qynwire  median responses_per_sec=$med_ours server_cpu_ns_per_response=$(median "$cpu_ours")"
if [ "$med_coturn" -gt 0 ]; then
  awk -v o="$med_ours" -v c="$med_coturn" 'BEGIN { printf "median ratio qynwire/coturn=%.2f\n", o / c }'
fi

echo "coturn   best responses_per_sec=$best_coturn"
echo "qynwire  best responses_per_sec=$best_ours"
if [ "$best_coturn" -gt 0 ]; then
  awk -v o="$best_ours" -v c="$best_coturn" 'BEGIN { printf "best ratio qynwire/coturn=%.2f\n", o / c }'
fi
[ "$all_correct" = 1 ] && echo "qynwire responses: all correct" || { echo "qynwire responses: some were wrong"; exit 1; }
