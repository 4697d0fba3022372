#!/bin/bash
# Fan-out and many-session figures of the session layer, run by hand on an otherwise idle
# machine of at least 8 cores (never in CI). Build first:
#   cmake --preset o2 && cmake --build --preset o2 --target parlo-fanout-driver parlo-load parlo parlo-mds parlo-opc parlo-reg
# then: BUILD=build/o2 bench/parlo/fanout.sh [fanout] [sessions] [opens]   (all three when none)
# WRITERS=n gives the driver n transport writer threads (the transport's default otherwise).
# POLL_US=n has the fan-out readers poll for n us after traffic instead of sleeping, for both
# servers alike, so that the delay figures are less the readers' own wake-ups.
#
# fanout:   one stamped CALL_DELIVERED_EVENT (ten call variables, ten ECC variables) to 2,000
#           ALL_EVENTS sessions through the real distributor (parlo-fanout-driver), and the
#           same bytes PUBLISHed by Redis to 2,000 subscribers (one I/O thread, then two); the
#           server side pinned to cores 0-1, readers on 2-5, the Redis publisher on 6; at
#           saturation, 100 and 10 events/s. REPS repetitions (3), the servers interleaved in
#           each; every figure is the median with the min-max, the load average beside it.
#           The Redis publisher batches at saturation only as many PUBLISHes as fit Redis's
#           16 KB reply buffer per subscriber, and paced it lets replies wait (--inflight).
# sessions: 16,383 ALL_EVENTS sessions over four load processes against the real parlo (with
#           the stand-in MDS and OPC), heartbeating: RSS and bytes per session and the
#           heartbeat round trip of a probe session; then RSS of 2,000 TLS sessions (driver).
# opens:    OPEN_REQ to OPEN_CONF against the driver, opens per second.
set -euo pipefail
# One descriptor per session on both sides.
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${BUILD:-$ROOT/build/o2}" && pwd)
LOAD=$BUILD/peers/client/parlo-load
DRIVER=$BUILD/bench/parlo/parlo-fanout-driver
PARLO=$BUILD/parlo/parlo
MDS=$BUILD/peers/mds/parlo-mds
OPC=$BUILD/peers/opc/parlo-opc
REG=$BUILD/platform/parlo-reg
READERS=${READERS:-2000}
READER_THREADS=${READER_THREADS:-4}
DURATION=${DURATION:-5}
WARMUP=${WARMUP:-2}
REPS=${REPS:-3}
RATES=${RATES:-"0 100 10"}
# Outside the ephemeral port range, where the many client connections take their ports.
PORT=${PORT:-25127}
REDIS_PORT=${REDIS_PORT:-6390}
MDS_PORT=${MDS_PORT:-25120}
WRITER_ARGS=()
[ -n "${WRITERS:-}" ] && WRITER_ARGS=(--writers "$WRITERS")
POLL_ARGS=()
[ -n "${POLL_US:-}" ] && POLL_ARGS=(--poll-us "$POLL_US")
SERVER_CPUS=0,1
READER_CPUS=2-5
PUB_CPU=6
PEER_CPUS=6,7
WORK=$(mktemp -d)
PIDS=()
cleanup() {
    for p in "${PIDS[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${KEEP:-}" ] && echo "kept $WORK" >&2 || rm -rf "$WORK"
}
trap cleanup EXIT

[ "$(ulimit -n)" -ge $((READERS + 200)) ] || { echo "ulimit -n is $(ulimit -n): raise the hard limit to 20000" >&2; exit 1; }
for f in "$LOAD" "$DRIVER"; do
    [ -x "$f" ] || { echo "missing $f: build the o2 preset (PARLO_BENCH=ON)" >&2; exit 1; }
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
load1() { cut -d' ' -f1 /proc/loadavg; }
loadavg() { echo "loadavg=$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' '/')"; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

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

# One figure line per run: server rate rep per_second p50_us p99_us cpu_cores load1.
run_parlo_fanout() {  # $1: rate (0 = saturation), $2: repetition
    local rate=$1 rep=$2 l0
    local ready=$WORK/parlo.ready out=$WORK/parlo.$rate.$rep.out
    l0=$(load1)
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
    local r
    r=$(result "$out")
    echo "FIG parlo $rate $rep $(field per_second "$r") $(field p50_us "$r") $(field p99_us "$r") $cpu $l0 failed=$(field failed "$r")"
}

# Debian's redis-server when missing; its service is kept from starting (policy-rc.d), and
# this script only ever runs its own instance.
ensure_redis() {
    command -v redis-server >/dev/null && return 0
    local policy=/usr/sbin/policy-rc.d own=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && own=1
    fi
    echo "installing Debian's redis-server (its service is not started)" >&2
    local rc=0
    apt-get install -y redis-server >/dev/null || rc=$?
    [ $own = 1 ] && rm -f "$policy"
    return $rc
}

run_redis_fanout() {  # $1: rate, $2: io threads, $3: repetition
    local rate=$1 io=$2 rep=$3 l0
    local out=$WORK/redis.$rate.$io.$rep.out
    local extra=()
    if [ "$io" -gt 1 ]; then extra=(--io-threads "$io"); fi
    l0=$(load1)
    taskset -c $SERVER_CPUS redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --save "" --appendonly no \
        --protected-mode no --maxclients 20000 --dir "$WORK" "${extra[@]}" >"$WORK/redis.log" 2>&1 &
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
    taskset -c $PUB_CPU "$LOAD" redis-publish --port "$REDIS_PORT" --rate "$rate" \
        --duration $((DURATION + WARMUP + 5)) >"$WORK/publish.out" 2>&1 &
    local publisher=$!
    PIDS+=("$publisher")
    local cpu
    cpu=$(cpu_over_window "$redis")
    wait "$readers" || true
    kill "$publisher" "$redis" 2>/dev/null || true
    wait "$publisher" "$redis" 2>/dev/null || true
    rm -f "$WORK/readers.ready"
    local r
    r=$(result "$out")
    echo "FIG redis-io$io $rate $rep $(field per_second "$r") $(field p50_us "$r") $(field p99_us "$r") $cpu $l0 failed=$(field failed "$r")"
}

# Median (min-max) of each figure over the repetitions, by rate and server.
summarize() {
    awk '
    function sortn(a, n,   i, j, t) { for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t } }
    function fig(key, col, scale, fmt,   n, i, a) {
        n = 0; for (i = 1; i <= cnt[key]; i++) a[++n] = v[key, i, col] * scale
        sortn(a, n)
        return sprintf(fmt " (" fmt "-" fmt ")", a[int((n + 1) / 2)], a[1], a[n])
    }
    $1 == "FIG" { key = $3 " " $2; if (!(key in cnt)) order[++keys] = key; cnt[key]++
                  for (c = 5; c <= 9; c++) v[key, cnt[key], c] = $c }
    END {
        printf "%-22s %-28s %-30s %-30s %-20s %-26s %s\n", "rate server", "delivered/s", "p50 ms", "p99 ms", "server cores", "us per delivered msg", "load1"
        for (k = 1; k <= keys; k++) {
            key = order[k]
            for (i = 1; i <= cnt[key]; i++) v[key, i, 10] = (v[key, i, 5] > 0 ? v[key, i, 8] * 1e6 / v[key, i, 5] : 0)
            split(key, p, " ")
            printf "%-22s %-28s %-30s %-30s %-20s %-26s %s\n", (p[1] == 0 ? "sat" : p[1] "/s") " " p[2],
                fig(key, 5, 1, "%.0f"), fig(key, 6, 0.001, "%.1f"), fig(key, 7, 0.001, "%.1f"),
                fig(key, 8, 1, "%.2f"), fig(key, 10, 1, "%.2f"), fig(key, 9, 1, "%.1f")
        }
    }'
}

fanout() {
    echo "== fan-out to $READERS sessions ($READER_THREADS reader threads on cores $READER_CPUS), $REPS repetitions, $(loadavg)"
    ensure_redis
    local rep rate figures=$WORK/figures
    : >"$figures"
    for rep in $(seq 1 "$REPS"); do
        for rate in $RATES; do
            run_parlo_fanout "$rate" "$rep" | tee -a "$figures"
            run_redis_fanout "$rate" 1 "$rep" | tee -a "$figures"
            run_redis_fanout "$rate" 2 "$rep" | tee -a "$figures"
        done
    done
    summarize <"$figures"
    echo "$(loadavg) at the end"
}

# ---------------------------------------------------------------- the real server

CFG='SOFTWARE\Quenlo Systems, Inc.\ZUR\parlo\CG\CurrentVersion\Parlo\Config'
DYN='SOFTWARE\Quenlo Systems, Inc.\ZUR\parlo\CG\CurrentVersion\Parlo\Dynamic'
MDSKEY='SOFTWARE\Quenlo Systems, Inc.\ZUR\parlo\MDS\CurrentVersion\Process'

# parlo with its stand-in MDS and OPC, in a root of this run; sets SERVER_PID.
start_parlo() {
    export PARLO_NAMESPACE=fanout$$ PARLO_ROOT=$WORK/var
    export PARLO_REGISTRY_ROOT=$PARLO_ROOT/registry PARLO_RUN_DIR=$PARLO_ROOT/run
    mkdir -p "$PARLO_REGISTRY_ROOT" "$PARLO_RUN_DIR"
    "$REG" import "$ROOT"/config/*.reg
    "$REG" set "$CFG" ListenPort sz "$PORT"
    "$REG" set "$CFG" SecuredListenPort sz $((PORT + 1))
    "$REG" set "$DYN" MaxClientConnections dword 16383
    "$REG" set "$MDSKEY" MDSPort sz "$MDS_PORT"
    "$REG" set "$MDSKEY" StateXferPort sz $((MDS_PORT + 1))
    taskset -c $PEER_CPUS "$MDS" --port "$MDS_PORT" --instance 'ZUR\parlo' >"$WORK/mds.out" 2>&1 &
    PIDS+=($!)
    sleep 1
    taskset -c $PEER_CPUS "$OPC" --instance 'ZUR\parlo' --start >"$WORK/opc.out" 2>&1 &
    PIDS+=($!)
    (cd "$WORK" && exec taskset -c $SERVER_CPUS "$PARLO" parlo CLEAN SIMPLEX A var 0 'ZUR\parlo') >"$WORK/parlo.out" 2>&1 &
    SERVER_PID=$!
    PIDS+=($!)
    local i
    for ((i = 0; i < 300; i++)); do
        # From its log, not a trial connection: a closed one counts against the 16,383 until
        # the server's garbage sweep.
        grep -q "Listening on port $PORT " "$WORK/parlo.out" 2>/dev/null && return 0
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.2
    done
    echo "parlo did not come up; its last lines:" >&2
    tail -5 "$WORK/parlo.out" >&2
    exit 1
}

# ---------------------------------------------------------------- many sessions

sessions() {
    # 16383 is the connection limit.
    local total=${TOTAL_SESSIONS:-16383} procs=4 i
    echo "== $total ALL_EVENTS sessions over $procs load processes against parlo"
    [ -x "$PARLO" ] || { echo "missing $PARLO" >&2; exit 1; }
    start_parlo
    sleep 1
    local base
    base=$(rss_kb "$SERVER_PID")
    local each=$(((total + procs - 1) / procs)) left=$total loaders=()
    for ((i = 0; i < procs; i++)); do
        local n=$((left < each ? left : each))
        left=$((left - n))
        local probe=()
        [ "$i" -eq 0 ] && n=$((n - 1)) && probe=(--probe)
        taskset -c $READER_CPUS "$LOAD" idle --port "$PORT" --sessions "$n" --ident "idle$i-" --services 0x10 \
            --duration 20 --warmup 5 "${probe[@]}" --ready-file "$WORK/idle$i.ready" \
            >"$WORK/idle$i.out" 2>&1 &
        loaders+=($!)
        PIDS+=($!)
    done
    for ((i = 0; i < procs; i++)); do await_file "$WORK/idle$i.ready" "idle loader $i" "${loaders[$i]}"; done
    sleep 2
    local rss
    rss=$(rss_kb "$SERVER_PID")
    wait "${loaders[@]}" || true
    echo "parlo sessions=$total rss_kb=$rss base_rss_kb=$base bytes_per_session=$(((rss - base) * 1024 / total)) $(loadavg)"
    echo "parlo heartbeat $(result "$WORK/idle0.out") $(loadavg)"
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    PIDS=()

    echo "== 2000 TLS sessions (driver)"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
        -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
    local ready=$WORK/parlo.ready
    rm -f "$ready"
    taskset -c $SERVER_CPUS "$DRIVER" --port "$PORT" --tls-port $((PORT + 1)) --cert "$WORK/cert.pem" \
        --key "$WORK/key.pem" --sessions 0 --rate -1 --ready-file "$ready" >"$WORK/driver.tls.out" 2>&1 &
    local driver=$!
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
    echo "== opens per second (driver)"
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
