#!/bin/bash
# The application's figures against the real server, run by hand (never in CI). Build first:
#   cmake --preset release && cmake --build --preset release -j4
# then: bench/parlo/appload.sh [opens] [agent-opens] [events] [memory] [control]   (all five
# when none)
#
# Each figure starts its own `parlo` pinned to cores 0-1, with parlo-mds on core 2 and
# parlo-opc (the normal start, then script lines through its control pipe) on core 3; the
# load processes run on cores 4-7. Each run stays under two minutes.
# opens:       non-agent opens (PERIPHERAL_MONITOR) while 2,000 sessions stay open (1,998
#              ALL_EVENTS, 2 CLIENT_MONITOR that see every open),
#              OPEN_REQ -> OPEN_CONF: 2,000 a second kept open for 5 s, 2,000 a second
#              opened and closed for 5 s, then as fast as they go. A closed connection
#              counts against the 16,383 until the server's garbage sweep (about 10 s), so
#              open-and-close can hold about 1,400 a second at most beside 2,000 sessions.
# agent-opens: agent-mode opens over 8,000 logged-in agents, each with the server's
#              CTI_GET_AGENT_STATE_REQ round trip: every agent bound once at 1,000 a second
#              (kept open), then opened and closed at 1,000 a second, then as fast as they go
# events:      2,000 ALL_EVENTS sessions (fresh for each burst); the stand-in sends bursts of
#              stamped agent events (100/s for 5 s, 500/s for 4 s, 1,000/s and 2,000/s);
#              per burst the records a second, the copies delivered a second, and the delay
#              from the stand-in's send to the last of the copies of each event
# memory:      16,383 sessions over four load processes, 8,000 of them agent-mode bound to
#              8,000 agents; RSS and bytes per session
# control:     200 sessions (ALL_EVENTS + CLIENT_CONTROL; CONTROL_SESSIONS) each keep one
#              call-control request outstanding (hold, retrieve, answer, clear call on calls
#              the server never saw; CONTROL_REQUESTS) through parlo-mds and parlo-opc for 10 s
#              after 2 s of warm-up: answers a second, request -> answer median and p99, and
#              the CPU (in cores) that parlo, parlo-mds, parlo-opc and parlo-load used meanwhile
#              (BUILD=build/o2 runs it on the clang -O2 build)
# Every figure line ends with the machine's load average when it was taken.
set -euo pipefail
ulimit -n 20000 2>/dev/null || true

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build/release}
PARLO=$BUILD/parlo/parlo
MDS=$BUILD/peers/mds/parlo-mds
OPC=$BUILD/peers/opc/parlo-opc
REG=$BUILD/platform/parlo-reg
LOAD=$BUILD/peers/client/parlo-load
# Outside the ephemeral range, where the many short connections of the figures go.
PORT=${PORT:-29127}
MDS_PORT=${MDS_PORT:-29120}
AGENTS=${AGENTS:-8000}
AGENT_FIRST=200000
EXT_FIRST=700000
SERVER_CPUS=0,1
MDS_CPU=2
OPC_CPU=3
HOLD_CPUS=4,5
LOAD_CPUS=6,7
READER_CPUS=4-7
WORK=$(mktemp -d)
# Named objects and shared memory of this run apart from any other parlo on the node.
export PARLO_NAMESPACE=appload$$
export PARLO_ROOT=$WORK/var
export PARLO_REGISTRY_ROOT=$PARLO_ROOT/registry
export PARLO_RUN_DIR=$PARLO_ROOT/run
PIDS=()
SERVER_PIDS=()
cleanup() {
    for p in "${PIDS[@]:-}" "${SERVER_PIDS[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${KEEP:-}" ] && echo "kept $WORK" >&2 || rm -rf "$WORK"
}
trap cleanup EXIT

for f in "$PARLO" "$MDS" "$OPC" "$REG" "$LOAD"; do
    [ -x "$f" ] || { echo "missing $f: build the release preset" >&2; exit 1; }
done

loadavg() { echo "loadavg=$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' '/')"; }
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
result() { grep -h '^RESULT' "$@" | sed 's/^RESULT //'; }
await_line() {  # file, text, what, [pid that must stay alive]
    local file=$1 text=$2 what=$3 pid=${4:-} i
    for ((i = 0; i < 1200; i++)); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
            echo "$what ended early; its output:" >&2
            tail -5 "$file" >&2 || true
            exit 1
        fi
        sleep 0.1
    done
    echo "timed out waiting for $what" >&2
    exit 1
}
await_file() { await_line "$1" "ready" "$2" "${3:-}"; }

# ---------------------------------------------------------------- the server and its peers

CFG='SOFTWARE\Quenlo Systems, Inc.\ZUR\parlo\CG\CurrentVersion\Parlo\Config'
DYN='SOFTWARE\Quenlo Systems, Inc.\ZUR\parlo\CG\CurrentVersion\Parlo\Dynamic'
MDSKEY='SOFTWARE\Quenlo Systems, Inc.\ZUR\parlo\MDS\CurrentVersion\Process'

start_server() {
    rm -rf "$PARLO_ROOT"
    mkdir -p "$PARLO_REGISTRY_ROOT" "$PARLO_RUN_DIR"
    "$REG" import "$ROOT"/config/*.reg
    "$REG" set "$CFG" ListenPort sz "$PORT"
    "$REG" set "$CFG" SecuredListenPort sz $((PORT + 1))
    "$REG" set "$DYN" OPCHeartbeatTime dword 5
    "$REG" set "$DYN" MaxClientConnections dword 16383
    "$REG" set "$MDSKEY" MDSPort sz "$MDS_PORT"
    "$REG" set "$MDSKEY" StateXferPort sz $((MDS_PORT + 1))
    SERVER_PIDS=()
    taskset -c $MDS_CPU "$MDS" --port "$MDS_PORT" --instance 'ZUR\parlo' >"$WORK/mds.out" 2>&1 &
    SERVER_PIDS+=($!)
    await_line "$WORK/mds.out" listening "parlo-mds" "${SERVER_PIDS[0]}"
    rm -f "$WORK/opc.in"
    taskset -c $OPC_CPU "$OPC" --instance 'ZUR\parlo' --start --control "$WORK/opc.in" >"$WORK/opc.out" 2>&1 &
    SERVER_PIDS+=($!)
    OPC_PID=$!
    (cd "$WORK" && ulimit -n 20000 && exec taskset -c $SERVER_CPUS "$PARLO" parlo CLEAN SIMPLEX A var 0 'ZUR\parlo') \
        >"$WORK/parlo.out" 2>&1 &
    SERVER_PID=$!
    SERVER_PIDS+=($!)
    await_line "$WORK/opc.out" "start done" "the server's start" "$SERVER_PID"
    local i
    for ((i = 0; i < 100; i++)); do
        (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null && return 0
        sleep 0.1
    done
    echo "the server does not listen on $PORT" >&2
    exit 1
}

stop_server() {
    if ! kill -0 "$SERVER_PID" 2>/dev/null; then
        local rc=0
        wait "$SERVER_PID" || rc=$?
        echo "parlo ended by itself during the figure (exit status $rc); its last lines:"
        tail -5 "$WORK/parlo.out" | sed 's/^/    /'
    fi
    for p in "${SERVER_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${SERVER_PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    SERVER_PIDS=()
}

# Script lines for the stand-in OPC, run in order; waits until the last one has run when
# it is a command that prints "<command> set".
opc_lines() { printf '%s\n' "$@" >"$WORK/opc.in"; }
make_agents() {
    local before
    before=$(grep -c "parlo-opc: agents set" "$WORK/opc.out" || true)
    opc_lines "agents $AGENTS $AGENT_FIRST ext=$EXT_FIRST"
    local i
    for ((i = 0; i < 600; i++)); do
        [ "$(grep -c "parlo-opc: agents set" "$WORK/opc.out" || true)" -gt "$before" ] && return 0
        sleep 0.1
    done
    echo "the stand-in OPC did not make its agents" >&2
    exit 1
}

# Sessions held beside a figure: $1 sessions, $2 seconds, $3 name, then extra options.
hold() {
    local n=$1 seconds=$2 name=$3
    shift 3
    taskset -c $HOLD_CPUS "$LOAD" app-sessions --port "$PORT" --sessions "$n" --threads 2 --duration "$seconds" \
        --warmup 0 --ident "$name" --ready-file "$WORK/$name.ready" "$@" >"$WORK/$name.out" 2>&1 &
    HOLD_PID=$!
    PIDS+=($!)
    await_file "$WORK/$name.ready" "the $name sessions" "$HOLD_PID"
}

# ---------------------------------------------------------------- figures

# One app-opens run: $1 name, then its options; prints its figure.
open_run() {
    local name=$1
    shift
    taskset -c $LOAD_CPUS "$LOAD" app-opens --port "$PORT" --threads 8 "$@" >"$WORK/$name.out" 2>&1 || true
    echo "$(result "$WORK/$name.out") $(loadavg)"
}
# Closed sessions stay counted against the connection limit until the server's garbage
# sweep (about 10 s): let it pass between runs.
sweep_pause() { sleep 12; }

opens() {
    echo "== non-agent opens (PERIPHERAL_MONITOR) with 2,000 sessions open (1,998 ALL_EVENTS, 2 CLIENT_MONITOR)"
    start_server
    hold 2000 50 held --monitors 2
    echo "held $(result "$WORK/held.out" | grep phase=open) $(loadavg)"
    # Kept open: 2,000 a second for 5 s (the open sessions grow from 2,000 to about 12,000).
    open_run opens-keep --services 0x20 --keep 1 --rate 2000 --duration 5 --warmup 0.5
    sweep_pause
    # Opened and closed, 2,000 a second, then as fast as they go.
    open_run opens-close --services 0x20 --rate 2000 --duration 5 --warmup 1
    sweep_pause
    open_run opens-max --services 0x20 --keep 1 --rate 0 --duration 2 --warmup 0.5
    wait "$HOLD_PID" || true
    echo "held $(result "$WORK/held.out" | grep phase=hold)"
    stop_server
}

agent_opens() {
    echo "== agent-mode opens over $AGENTS agents (CTI_GET_AGENT_STATE_REQ round trip through parlo-mds)"
    start_server
    make_agents
    local range=(--agents "$AGENTS" --agent-first "$AGENT_FIRST" --ext-first "$EXT_FIRST")
    # Kept open: every agent bound once, 1,000 a second.
    open_run agent-keep "${range[@]}" --keep 1 --rate 1000 --duration 9 --warmup 0
    sweep_pause
    # Opened and closed over the agents in turn, 1,000 a second, then as fast as they go.
    open_run agent-close "${range[@]}" --rate 1000 --duration 10 --warmup 1
    sweep_pause
    open_run agent-max "${range[@]}" --rate 0 --duration 5 --warmup 1
    stop_server
}

# One burst of agent events to 2,000 fresh ALL_EVENTS sessions: $1 records a second, $2
# seconds. The readers stay 10 s longer, for a server that falls behind; whatever it still
# queues for them goes with their sessions.
event_burst() {
    local rate=$1 seconds=$2 name=ev$1
    taskset -c $READER_CPUS "$LOAD" app-sessions --port "$PORT" --sessions 2000 --threads 4 \
        --duration $((seconds + 11)) --warmup 0.5 --gap 1 --ident "$name" --ready-file "$WORK/$name.ready" \
        >"$WORK/$name.out" 2>&1 &
    local readers=$!
    PIDS+=($!)
    await_file "$WORK/$name.ready" "the ALL_EVENTS sessions" "$readers"
    sleep 1
    local t0 w0 t1 w1
    t0=$(ticks "$SERVER_PID")
    w0=$(date +%s.%N)
    opc_lines "agent-events $rate $((rate * seconds)) from=$AGENT_FIRST"
    wait "$readers" || true
    t1=$(ticks "$SERVER_PID")
    w1=$(date +%s.%N)
    local cpu
    cpu=$(awk -v a="$t0" -v b="$t1" -v s="$w0" -v e="$w1" -v hz="$(getconf CLK_TCK)" \
        'BEGIN {printf "%.2f", (b - a) / hz / (e - s)}')
    echo "rate=$rate parlo_cpu_cores=$cpu $(result "$WORK/$name.out" | grep phase=burst) $(loadavg)"
    echo "    $(result "$WORK/$name.out" | grep phase=open)"
    echo "    $(result "$WORK/$name.out" | grep phase=hold)"
}

events() {
    echo "== agent events to 2,000 ALL_EVENTS sessions (records a second sent, AGENT_STATE_EVENTs delivered)"
    start_server
    make_agents
    event_burst 100 5
    event_burst 500 4
    event_burst 1000 3
    event_burst 2000 2
    echo "stand-in lateness (max us): $(grep -o 'late [0-9-]* us' "$WORK/opc.out" | awk '{if ($2 > m) m = $2} END {print m + 0}')"
    stop_server
}

memory() {
    echo "== 16,383 sessions, $AGENTS of them agent-mode bound to $AGENTS agents"
    start_server
    make_agents
    sleep 1
    local base
    base=$(rss_kb "$SERVER_PID")
    # Per loader: agent-mode sessions, then its others: ALL_EVENTS, CLIENT_MONITOR + PERIPHERAL_MONITOR.
    local per=$((AGENTS / 4)) i loaders=()
    local others=(2000 2128 2128 $((16383 - AGENTS - 2000 - 2128 - 2128)))
    local services=(0x10 0x20 0x20 0x20)
    local monitors=(0 10 0 0)
    for ((i = 0; i < 4; i++)); do
        taskset -c $READER_CPUS "$LOAD" app-sessions --port "$PORT" --threads 2 --duration 20 --warmup 0 \
            --agents "$per" --agent-first $((AGENT_FIRST + i * per)) --ext-first $((EXT_FIRST + i * per)) \
            --sessions "${others[$i]}" --services "${services[$i]}" --monitors "${monitors[$i]}" \
            --ident "mem$i-" --ready-file "$WORK/mem$i.ready" >"$WORK/mem$i.out" 2>&1 &
        loaders+=($!)
        PIDS+=($!)
    done
    for ((i = 0; i < 4; i++)); do await_file "$WORK/mem$i.ready" "memory loader $i" "${loaders[$i]}"; done
    sleep 3
    local rss
    rss=$(rss_kb "$SERVER_PID")
    for ((i = 0; i < 4; i++)); do echo "loader $i $(result "$WORK/mem$i.out" | grep phase=open)"; done
    local opened
    opened=$(result "$WORK"/mem*.out | grep phase=open | sed 's/.* opened=\([0-9]*\).*/\1/' | awk '{s += $1} END {print s}')
    echo "memory sessions=$opened rss_kb=$rss base_rss_kb=$base bytes_per_session=$(((rss - base) * 1024 / (opened > 0 ? opened : 1))) $(loadavg)"
    wait "${loaders[@]}" || true
    stop_server
}

control() {
    local sessions=${CONTROL_SESSIONS:-200} requests=${CONTROL_REQUESTS:-hold,retrieve,answer,clear-call}
    echo "== call-control requests from $sessions sessions (ALL_EVENTS + CLIENT_CONTROL), closed loop: $requests"
    start_server
    taskset -c $LOAD_CPUS "$LOAD" control --port "$PORT" --sessions "$sessions" --threads 2 --duration 10 \
        --warmup 2 --requests "$requests" --ready-file "$WORK/control.ready" >"$WORK/control.out" 2>&1 &
    local load=$!
    PIDS+=($!)
    await_file "$WORK/control.ready" "the call-control sessions" "$load"
    # The CPU each process used over 9 of the measured 10 s (parlo-load ends with them).
    sleep 2
    local procs=("$SERVER_PID" "${SERVER_PIDS[0]}" "$OPC_PID" "$load") names=(parlo parlo-mds parlo-opc parlo-load)
    local before=() i w0 w1
    for i in 0 1 2 3; do before[$i]=$(ticks "${procs[$i]}"); done
    w0=$(date +%s.%N)
    sleep 9
    local cpu=""
    for i in 0 1 2 3; do
        cpu+=" ${names[$i]}=$(awk -v a="${before[$i]}" -v b="$(ticks "${procs[$i]}")" -v s="$w0" -v e="$(date +%s.%N)" \
            -v hz="$(getconf CLK_TCK)" 'BEGIN {printf "%.2f", (b - a) / hz / (e - s)}')"
    done
    local rc=0
    wait "$load" || rc=$?
    echo "$(result "$WORK/control.out" | grep phase=requests) $(loadavg)"
    echo "    cpu_cores$cpu"
    echo "    $(result "$WORK/control.out" | grep phase=open)"
    [ "$rc" -eq 0 ] || { echo "    parlo-load ended with $rc:"; grep -v '^RESULT' "$WORK/control.out" | tail -3 | sed 's/^/    /'; }
    stop_server
}

[ $# -eq 0 ] && set -- opens agent-opens events memory control
for what in "$@"; do
    case $what in
    opens) opens ;;
    agent-opens) agent_opens ;;
    events) events ;;
    memory) memory ;;
    control) control ;;
    *) echo "unknown figure $what" >&2; exit 2 ;;
    esac
done
