#!/bin/bash
# Fan-out and many-session figures of the session layer, run by hand on an otherwise idle
# machine of at least 8 cores (never in CI). Build first:
#   cmake --preset release -DPARLO_BENCH=ON && cmake --build --preset release -j4
# then: bench/parlo/fanout.sh [fanout] [sessions] [opens]    (all three when none is given)
# WRITERS=n gives the server n transport writer threads (its own default otherwise).
# POLL_US=n has the fan-out readers poll for n us after traffic instead of sleeping, for both
# servers alike, so that the delay figures are less the readers' own wake-ups.
#
# fanout:   one stamped CALL_DELIVERED_EVENT (ten call variables, ten ECC variables) to 2,000
#           ALL_EVENTS sessions through the real distributor (parlo-fanout-driver), and the
#           same bytes PUBLISHed by Redis to 2,000 subscribers (two I/O threads, then one);
#           the server side pinned to cores 0-1, readers and drivers on the others; at
#           saturation and at 100 events/s.
# sessions: 16,383 plain sessions over four load processes, heartbeating, RSS and bytes per
#           session, the heartbeat round trip of a probe session; then RSS of 2,000 TLS sessions.
# opens:    OPEN_REQ to OPEN_CONF, opens per second.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build/release}
LOAD=$BUILD/peers/client/parlo-load
DRIVER=$BUILD/bench/parlo/parlo-fanout-driver
READERS=${READERS:-2000}
READER_THREADS=${READER_THREADS:-4}
DURATION=${DURATION:-10}
WARMUP=${WARMUP:-3}
PORT=${PORT:-42027}
REDIS_PORT=${REDIS_PORT:-6390}
WRITER_ARGS=()
[ -n "${WRITERS:-}" ] && WRITER_ARGS=(--writers "$WRITERS")
POLL_ARGS=()
[ -n "${POLL_US:-}" ] && POLL_ARGS=(--poll-us "$POLL_US")
SERVER_CPUS=0,1
READER_CPUS=2-5
DRIVER_CPUS=6,7
WORK=$(mktemp -d)
PIDS=()
cleanup() {
    for p in "${PIDS[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

for f in "$LOAD" "$DRIVER"; do
    [ -x "$f" ] || { echo "missing $f: build the release preset with PARLO_BENCH=ON" >&2; exit 1; }
done

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
await_file() {  # $3: a process that must stay alive meanwhile
    local file=$1 what=$2 pid=${3:-} i
    for ((i = 0; i < 1200; i++)); do
        [ -s "$file" ] && return 0
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
            echo "$what ended early" >&2
            exit 1
        fi
        sleep 0.5
    done
    echo "timed out waiting for $what" >&2
    exit 1
}
result() { grep -h '^RESULT' "$@" | sed 's/^RESULT //'; }
loadavg() { echo "loadavg=$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' '/')"; }

# CPU of process $1 over the readers' measuring window, in cores busy.
cpu_over_window() {
    local pid=$1 hz
    hz=$(getconf CLK_TCK)
    sleep "$WARMUP"
    local t0 w0
    t0=$(ticks "$pid"); w0=$(date +%s.%N)
    sleep "$DURATION"
    local t1 w1
    t1=$(ticks "$pid"); w1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" -v s="$w0" -v e="$w1" -v hz="$hz" 'BEGIN {printf "%.2f", (b - a) / hz / (e - s)}'
}

# ---------------------------------------------------------------- fan-out

run_parlo_fanout() {  # $1: rate (0 = saturation)
    local rate=$1
    local ready=$WORK/parlo.ready out=$WORK/parlo.$rate.out
    rm -f "$ready"
    taskset -c $SERVER_CPUS "$DRIVER" --port "$PORT" --sessions "$READERS" --rate "$rate" \
        "${WRITER_ARGS[@]}" --ready-file "$ready" >"$WORK/driver.$rate.out" 2>&1 &
    local driver=$!
    PIDS+=("$driver")
    await_file "$ready" "the fan-out driver" "$driver"
    taskset -c $READER_CPUS "$LOAD" cti-readers --port "$PORT" --sessions "$READERS" \
        --threads "$READER_THREADS" --duration "$DURATION" --warmup "$WARMUP" "${POLL_ARGS[@]}" \
        --ready-file "$WORK/readers.ready" >"$out" 2>&1 &
    local readers=$!
    PIDS+=("$readers")
    await_file "$WORK/readers.ready" "the readers" "$readers"
    local cpu
    cpu=$(cpu_over_window "$driver")
    wait "$readers" || true
    kill "$driver" 2>/dev/null || true
    wait "$driver" 2>/dev/null || true
    rm -f "$WORK/readers.ready"
    echo "parlo writers=${WRITERS:-default} rate=$rate cpu_cores=$cpu $(result "$out") $(loadavg)"
}

ensure_redis() {
    if ! command -v redis-server >/dev/null; then
        echo "installing Debian's redis-server" >&2
        apt-get install -y redis-server >/dev/null
    fi
    # The package starts a system instance; the figures use their own.
    systemctl stop redis-server 2>/dev/null || service redis-server stop 2>/dev/null || true
}

run_redis_fanout() {  # $1: rate, $2: io threads
    local rate=$1 io=$2
    local out=$WORK/redis.$rate.$io.out
    local extra=()
    if [ "$io" -gt 1 ]; then extra=(--io-threads "$io" --io-threads-do-reads yes); fi
    taskset -c $SERVER_CPUS redis-server --port "$REDIS_PORT" --save "" --appendonly no \
        --protected-mode no --maxclients 20000 --client-output-buffer-limit "pubsub 0 0 0" \
        "${extra[@]}" >"$WORK/redis.log" 2>&1 &
    local redis=$!
    PIDS+=("$redis")
    local i
    for ((i = 0; i < 100; i++)); do
        (exec 3<>/dev/tcp/127.0.0.1/$REDIS_PORT) 2>/dev/null && break
        sleep 0.1
    done
    taskset -c $READER_CPUS "$LOAD" redis-readers --port "$REDIS_PORT" --sessions "$READERS" \
        --threads "$READER_THREADS" --duration "$DURATION" --warmup "$WARMUP" "${POLL_ARGS[@]}" \
        --ready-file "$WORK/readers.ready" >"$out" 2>&1 &
    local readers=$!
    PIDS+=("$readers")
    await_file "$WORK/readers.ready" "the Redis readers" "$readers"
    taskset -c $DRIVER_CPUS "$LOAD" redis-publish --port "$REDIS_PORT" --rate "$rate" \
        --duration $((DURATION + WARMUP + 5)) >"$WORK/publish.out" 2>&1 &
    local publisher=$!
    PIDS+=("$publisher")
    local cpu
    cpu=$(cpu_over_window "$redis")
    wait "$readers" || true
    kill "$publisher" "$redis" 2>/dev/null || true
    wait "$publisher" "$redis" 2>/dev/null || true
    rm -f "$WORK/readers.ready"
    echo "redis io_threads=$io rate=$rate cpu_cores=$cpu $(result "$out") $(loadavg)"
}

fanout() {
    echo "== fan-out to $READERS sessions ($READER_THREADS reader threads on cores $READER_CPUS)"
    run_parlo_fanout 0
    run_parlo_fanout 100
    ensure_redis
    for io in 2 1; do
        run_redis_fanout 0 "$io"
        run_redis_fanout 100 "$io"
    done
}

# ---------------------------------------------------------------- many sessions

sessions() {
    # 16383 is the connection limit.
    local total=${TOTAL_SESSIONS:-16383} procs=4 i
    echo "== $total plain sessions over $procs load processes"
    local ready=$WORK/parlo.ready
    rm -f "$ready"
    taskset -c $SERVER_CPUS "$DRIVER" --port "$PORT" --sessions 0 --rate -1 --ready-file "$ready" \
        >"$WORK/driver.idle.out" 2>&1 &
    local driver=$!
    PIDS+=("$driver")
    await_file "$ready" "the server"
    local base
    base=$(rss_kb "$driver")
    local each=$(((total + procs - 1) / procs)) left=$total loaders=()
    for ((i = 0; i < procs; i++)); do
        local n=$((left < each ? left : each))
        left=$((left - n))
        local probe=()
        [ "$i" -eq 0 ] && n=$((n - 1)) && probe=(--probe)
        taskset -c $READER_CPUS "$LOAD" idle --port "$PORT" --sessions "$n" --ident "idle$i-" \
            --duration 20 --warmup 5 "${probe[@]}" --ready-file "$WORK/idle$i.ready" \
            >"$WORK/idle$i.out" 2>&1 &
        loaders+=($!)
        PIDS+=($!)
    done
    for ((i = 0; i < procs; i++)); do await_file "$WORK/idle$i.ready" "idle loader $i" "${loaders[$i]}"; done
    sleep 2
    local rss
    rss=$(rss_kb "$driver")
    wait "${loaders[@]}" || true
    echo "plain sessions=$total rss_kb=$rss base_rss_kb=$base bytes_per_session=$(((rss - base) * 1024 / total)) $(loadavg)"
    echo "heartbeat $(result "$WORK/idle0.out") $(loadavg)"
    kill "$driver" 2>/dev/null || true
    wait "$driver" 2>/dev/null || true

    echo "== 2000 TLS sessions"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
        -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
    rm -f "$ready"
    taskset -c $SERVER_CPUS "$DRIVER" --port "$PORT" --tls-port $((PORT + 1)) --cert "$WORK/cert.pem" \
        --key "$WORK/key.pem" --sessions 0 --rate -1 --ready-file "$ready" >"$WORK/driver.tls.out" 2>&1 &
    driver=$!
    PIDS+=("$driver")
    await_file "$ready" "the server"
    base=$(rss_kb "$driver")
    taskset -c $READER_CPUS "$LOAD" idle --port $((PORT + 1)) --tls --sessions 2000 --duration 5 --warmup 1 \
        --ready-file "$WORK/tls.ready" >"$WORK/tls.out" 2>&1 &
    local tls=$!
    PIDS+=("$tls")
    await_file "$WORK/tls.ready" "the TLS loader" "$tls"
    rss=$(rss_kb "$driver")
    wait "$tls" || true
    echo "tls sessions=2000 rss_kb=$rss base_rss_kb=$base bytes_per_session=$(((rss - base) * 1024 / 2000)) $(loadavg)"
    kill "$driver" 2>/dev/null || true
    wait "$driver" 2>/dev/null || true
}

# ---------------------------------------------------------------- opens per second

opens() {
    echo "== opens per second"
    local ready=$WORK/parlo.ready
    rm -f "$ready"
    taskset -c $SERVER_CPUS "$DRIVER" --port "$PORT" --sessions 0 --rate -1 --ready-file "$ready" \
        >"$WORK/driver.opens.out" 2>&1 &
    local driver=$!
    PIDS+=("$driver")
    await_file "$ready" "the server"
    taskset -c $READER_CPUS "$LOAD" opens --port "$PORT" --threads 8 --duration "$DURATION" --warmup 1 \
        >"$WORK/opens.out" 2>&1 || true
    echo "$(result "$WORK/opens.out") $(loadavg)"
    kill "$driver" 2>/dev/null || true
    wait "$driver" 2>/dev/null || true
}

[ $# -eq 0 ] && set -- fanout sessions opens
for what in "$@"; do "$what"; done
