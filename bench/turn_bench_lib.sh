# Shared by the TURN benchmark scripts (sourced): starting and stopping the servers under test on
# loopback and reading a process's CPU time and peak memory. Every server started here is
# remembered by its process id and stopped by it (also when the script exits early).
#
# Needs: WORK (a scratch directory), BUILD (the release build directory).

SERVER_PID=""
SERVER_PORT=""

# A free UDP port on loopback (the kernel picks it; a short race with other programs is accepted).
free_port() { python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# User plus system CPU ticks of a process (all its threads), and its peak resident set in KB.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
peak_rss_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
ticks_to_seconds() { awk -v t="$1" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }'; }
# Nanoseconds of CPU per item: ticks and item count.
ns_per() { awk -v t="$1" -v n="$2" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.0f", (n > 0 ? t / hz * 1e9 / n : 0) }'; }

# coturn's turnserver on a free loopback port with the test user; extra options follow
# (for example "-m 1").
start_coturn() {
  SERVER_PORT=$(free_port)
  turnserver -n --listening-ip 127.0.0.1 --relay-ip 127.0.0.1 --listening-port "$SERVER_PORT" \
    --lt-cred-mech --user qyn_user:kiwi_tea --realm Qynwire --fingerprint --allow-loopback-peers \
    --no-tls --no-dtls --no-tcp --no-cli --log-file "$WORK/coturn.log" --simple-log --no-stdout-log "$@" \
    >"$WORK/coturn.out" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do
    ss -H -uln "sport = :$SERVER_PORT" 2>/dev/null | grep -q . && return 0
    sleep 0.1
  done
  echo "turnserver did not start" >&2
  return 1
}

# Our TURN server component (turn_relay_bench --serve, neNoSync) on a free loopback port; extra
# options follow (for example "--auth off").
start_ours() {
  : >"$WORK/ours.out"
  "$BUILD/bench/turn_relay_bench" --serve "$@" >"$WORK/ours.out" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do
    SERVER_PORT=$(sed -n 's/^port=\([0-9]*\)$/\1/p' "$WORK/ours.out")
    [ -n "$SERVER_PORT" ] && return 0
    sleep 0.1
  done
  echo "turn_relay_bench --serve did not start" >&2
  return 1
}

stop_server() {
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  SERVER_PID=""
}

# Median of a list of numbers.
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) print 0; else print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
