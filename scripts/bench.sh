#!/usr/bin/env bash
# Load benchmark of the gateway on this machine, side by side with a bare
# Boost.Beast WebSocket echo server (tools/echo, the floor of any WebSocket
# server here), Debian's websockify bridging to a TCP echo (what an operator
# would put in front of a game server instead) and the echo tool's relay to
# a TCP echo (the floor of the gateway's job). Every scenario runs against
# its servers in turn, repeated and interleaved (A B C D A B C D ...);
# the CPU time of the server processes comes from /proc (the load tool reads
# it at the edges of its measured window). Prints a table of medians and
# ratios; the last line is one JSON object with the headline figures.
#
#   scripts/bench.sh            full run (about 35 minutes)
#   scripts/bench.sh --quick    every scenario, shortened (about 7 minutes)
#
# Options: --reps N, --no-build (use the binaries already in --build-dir),
# --build-dir DIR (default build/release), --only rt,sat,... (scenarios:
# rt sat logon bcast idle accept slow light allocs cap10k idle10k bcast10k
# storm), --cap-clients N (the large crowd of cap10k, idle10k and bcast10k,
# 10000), --keep (keep the work directory). TAVREL_BENCH_KEYS, if set, is
# added to the [Tavrel] section of every gateway's Tavrel.ini (for example
# "ClientMsgBuffByte=65536" to try a setting), TAVREL_BENCH_RUN to its [Run]
# section (for example "Flush=tick", or "IoThreads=1" for the TLS storm).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

QUICK=0
REPS=""
BUILD=1
BUILD_DIR="$ROOT/build/release"
ONLY=""
KEEP=0
CAP_CLIENTS=10000
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --reps) REPS=$2; shift ;;
    --no-build) BUILD=0 ;;
    --build-dir) BUILD_DIR=$(realpath "$2"); shift ;;
    --only) ONLY=$2; shift ;;
    --keep) KEEP=1 ;;
    --cap-clients) CAP_CLIENTS=$2; shift ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "$QUICK" = 1 ]; then
  : "${REPS:=1}"
  DUR=5; WARM=2; SAT_DUR=4; SAT_STEPS=4; SAT_REFINE=0; WSFY_CLIENTS=100; STORM_DUR=12; CAP_WARM=6
else
  : "${REPS:=3}"
  DUR=15; WARM=3; SAT_DUR=8; SAT_STEPS=6; SAT_REFINE=2; WSFY_CLIENTS=200; STORM_DUR=25; CAP_WARM=8
fi
CLIENTS=1000
SAT_CLIENTS=500

want() { [ -z "$ONLY" ] || [[ ",$ONLY," == *",$1,"* ]]; }
log() { echo "bench: $*" >&2; }
# shellcheck source=lib/procs.sh
. scripts/lib/procs.sh

# --- build and tools -------------------------------------------------------

if [ "$BUILD" = 1 ]; then
  log "building the release preset"
  cmake --preset release >/dev/null
  cmake --build --preset release --target tavrelh5 tavrel-gamesim tavrel-load tavrel-echo \
    tavrel-bench >/dev/null
  BUILD_DIR="$ROOT/build/release"
fi
BIN=$BUILD_DIR
for b in tavrelh5 tavrel-gamesim tavrel-load tavrel-echo; do
  [ -x "$BIN/$b" ] || { echo "bench: $BIN/$b missing (build it or drop --no-build)" >&2; exit 2; }
done

HAVE_WSFY=1
if ! command -v websockify >/dev/null; then
  log "installing websockify"
  apt_install websockify >/dev/null 2>&1 || true
  command -v websockify >/dev/null || { HAVE_WSFY=0; log "websockify unavailable: column C stays empty"; }
fi
command -v python3 >/dev/null || apt_install python3 >/dev/null
command -v openssl >/dev/null || apt_install openssl >/dev/null

# A descriptor per client in the load tool and in the gateway, which inherits
# the limit; the large crowd shrinks to what the limit allows.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)" || true
[[ "$CAP_CLIENTS" =~ ^[0-9]+$ ]] && [ "$CAP_CLIENTS" -ge 1 ] && [ "$CAP_CLIENTS" -le 20000 ] ||
  { echo "bench: --cap-clients needs 1..20000" >&2; exit 2; }
FD_LIMIT=$(ulimit -n)
if [ "$FD_LIMIT" != unlimited ] && [ "$CAP_CLIENTS" -gt $((FD_LIMIT - 256)) ]; then
  log "descriptor limit $FD_LIMIT: the large crowd is $((FD_LIMIT - 256)), not $CAP_CLIENTS"
  CAP_CLIENTS=$((FD_LIMIT - 256))
fi
# The table holds the large crowd with room to spare. A closed session's
# record waits 180 s before it is used again: the storm's table holds its
# players and every round's 1000.
CAP_SESSIONS=$(( CAP_CLIENTS > 1000 ? CAP_CLIENTS + CAP_CLIENTS / 20 : 1050 ))
STORM_ROUNDS=20
STORM_SESSIONS=$(( 1000 * (STORM_ROUNDS + 1) + 100 ))

W=$(mktemp -d /tmp/tavrel-bench.XXXXXX)
RUNS=$W/runs
mkdir -p "$RUNS"
PIDS=()
GROUPS_=()
cleanup() {
  stop_all
  if [ "$KEEP" = 1 ]; then log "work directory kept: $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$W/tls.key" -out "$W/tls.crt" >/dev/null 2>&1

# --- processes -----------------------------------------------------------------

stop_pid() {  # pid: TERM, then KILL after 3 s
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 60); do kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }; sleep 0.05; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

stop_all() {
  local p
  for p in "${GROUPS_[@]}"; do kill -KILL -- "-$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do stop_pid "$p"; done
  PIDS=()
  GROUPS_=()
}

# A redirection of a background job happens in the job: every starter empties
# its output file first, so that a wait never reads the last process's lines.
gamesim_start() {  # [extra args]
  : >"$W/gamesim.out"
  "$BIN/tavrel-gamesim" --port 0 --control-port 0 --quiet --no-stdin \
    --speed 0,0,0,0,0,0,5,0 --magicinfo "" "$@" >"$W/gamesim.out" 2>&1 &
  GS_PID=$!
  PIDS+=("$GS_PID")
  wait_line "$W/gamesim.out" '^control on ' 10
  GS_PORT=$(awk '/^listening on/{print $3}' "$W/gamesim.out")
  GS_CTL=$(awk '/^control on/{print $3}' "$W/gamesim.out")
}

gateway_start() {  # dir index [tls] ; needs GS_PORT
  local dir=$1 idx=$2 tls=${3:-0}
  mkdir -p "$dir"
  GW_PORT=$(free_port)
  cat >"$dir/Tavrel.ini" <<EOF
[Tavrel]
GatePort=$GW_PORT
ServerAddr=127.0.0.1
ServerPort=$GS_PORT
ConnectOutTime=120
OpenSSL=$tls
${TAVREL_BENCH_KEYS:-}
[Run]
${TAVREL_BENCH_RUN:-}
[Listen]
Addr=127.0.0.1
[Console]
Port=$(free_port)
[TLS]
CertFile=$W/tls.crt
KeyFile=$W/tls.key
EOF
  : >"$dir/stdout"
  (cd "$dir" && exec "$BIN/tavrelh5" 0 0 0 "$idx" "$GW_PORT" >stdout 2>&1) &
  GW_PID=$!
  PIDS+=("$GW_PID")
  wait_line "$dir/stdout" '链接游戏引擎成功' 15
}

echo_start() {  # [tls]
  : >"$W/echo.out"
  if [ "${1:-0}" = 1 ]; then
    "$BIN/tavrel-echo" --port 0 --tls "$W/tls.crt" "$W/tls.key" >"$W/echo.out" 2>&1 &
  else
    "$BIN/tavrel-echo" --port 0 >"$W/echo.out" 2>&1 &
  fi
  ECHO_PID=$!
  PIDS+=("$ECHO_PID")
  wait_line "$W/echo.out" '^listening on' 10
  ECHO_PORT=$(awk '{print $3}' "$W/echo.out")
}

tcpecho_start() {
  : >"$W/tcpecho.out"
  "$BIN/tavrel-echo" --tcp --port 0 >"$W/tcpecho.out" 2>&1 &
  PIDS+=("$!")
  wait_line "$W/tcpecho.out" '^listening on' 10
  TCPECHO_PORT=$(awk '{print $3}' "$W/tcpecho.out")
}

websockify_start() {
  tcpecho_start
  WSFY_PORT=$(free_port)
  # Its own process group: it forks a process per connection.
  setsid websockify "127.0.0.1:$WSFY_PORT" "127.0.0.1:$TCPECHO_PORT" >"$W/websockify.out" 2>&1 &
  WSFY_PID=$!
  disown "$WSFY_PID"  # stopped with its group; no job notice
  GROUPS_+=("$WSFY_PID")
  wait_port "$WSFY_PORT" 15
}

# The TCP echo stands where the game server stands for the gateway: its CPU
# is not counted.
relay_start() {
  tcpecho_start
  : >"$W/relay.out"
  "$BIN/tavrel-echo" --relay "$TCPECHO_PORT" --port 0 >"$W/relay.out" 2>&1 &
  RELAY_PID=$!
  PIDS+=("$RELAY_PID")
  wait_line "$W/relay.out" '^listening on' 10
  RELAY_PORT=$(awk '{print $3}' "$W/relay.out")
}

# One load run; its JSON line lands in $RUNS/<name>.json, the one-minute
# load average at its end in $RUNS/<name>.loadavg.
load_run() {  # name args...
  local name=$1; shift
  if ! "$BIN/tavrel-load" --quiet "$@" >"$RUNS/$name.json" 2>"$RUNS/$name.err"; then
    log "run $name: the load tool failed ($(tail -1 "$RUNS/$name.err"))"
  fi
  [ -s "$RUNS/$name.json" ] || echo '{}' >"$RUNS/$name.json"
  cut -d' ' -f1 /proc/loadavg >"$RUNS/$name.loadavg"
}

spread=(--src-base 127.1.0.1 --per-addr 4)

# A gateway for the capacity scenarios: a table for the large crowd. The
# caller's [Run] keys come first, so a Sessions of theirs wins.
# A client counts as in at the gateway's "ok", before the game server has
# answered its login: the warm-up, a second longer per 2000 clients, lets
# that backlog drain first.
cap_warm() { echo $((CAP_WARM + $1 / 2000)); }

cap_gateway_start() {  # [tls [sessions]]
  TAVREL_BENCH_RUN="${TAVREL_BENCH_RUN:-}"$'\n'"Sessions=${2:-$CAP_SESSIONS}" \
    gateway_start "$W/gw" 1 "${1:-0}"
}

# --- scenarios -------------------------------------------------------------

# A: the gateway with the test game server; B: the Beast echo; C: websockify;
# D: the relay with its TCP echo.
rt_gateway() {  # name [extra load args]; RT_CLIENTS and RT_RATE change the load
  local name=$1; shift
  gamesim_start
  gateway_start "$W/gw" 1
  load_run "$name" --port "$GW_PORT" --clients "${RT_CLIENTS:-$CLIENTS}" --rate "${RT_RATE:-10}" \
    --duration $DUR --warmup $WARM \
    "${spread[@]}" --cpu-pid "$GW_PID" --rss-pid "$GW_PID" "$@"
  stop_all
}

rt_echo() {
  echo_start
  load_run "$1" --mode echo --port "$ECHO_PORT" --clients $CLIENTS --rate 10 --duration $DUR \
    --warmup $WARM "${spread[@]}" --cpu-pid "$ECHO_PID"
  stop_all
}

rt_relay() {
  relay_start
  load_run "$1" --mode echo --port "$RELAY_PORT" --clients $CLIENTS --rate 10 --duration $DUR \
    --warmup $WARM "${spread[@]}" --cpu-pid "$RELAY_PID"
  stop_all
}

rt_websockify() {
  [ "$HAVE_WSFY" = 1 ] || return 0
  websockify_start
  # It forks a Python process per connection: fewer clients, same rate each.
  load_run "$1" --mode echo --binary --port "$WSFY_PORT" --clients $WSFY_CLIENTS --rate 10 \
    --duration $DUR --warmup $WARM "${spread[@]}" --cpu-pid "$WSFY_PID" --connect-timeout 120
  stop_all
}

# Highest total echo rate whose p99 stays under 50 ms with the rate achieved.
sat_step() {  # server rep rate
  local server=$1 rep=$2 rate=$3 per name
  per=$(python3 -c "print($rate / $SAT_CLIENTS)")
  name="sat.$server.$rep.$rate"
  if [ "$server" = gateway ]; then
    gamesim_start
    gateway_start "$W/gw" 1
    load_run "$name" --port "$GW_PORT" --clients $SAT_CLIENTS --rate "$per" --duration $SAT_DUR \
      --warmup 2 "${spread[@]}" --cpu-pid "$GW_PID"
  else
    echo_start
    load_run "$name" --mode echo --port "$ECHO_PORT" --clients $SAT_CLIENTS --rate "$per" \
      --duration $SAT_DUR --warmup 2 "${spread[@]}" --cpu-pid "$ECHO_PID"
  fi
  stop_all
  python3 - "$RUNS/$name.json" "$rate" <<'EOF'
import json, sys
d = json.load(open(sys.argv[1])); rate = float(sys.argv[2])
ok = (d.get("rtt_ms", {}).get("p99", 1e9) < 50 and d.get("echo_per_s", 0) >= 0.95 * rate
      and d.get("ready", 0) > 0)
sys.exit(0 if ok else 1)
EOF
}

sat_search() {  # server rep
  local server=$1 rep=$2 rate=5000 good=0 bad=0 i mid
  for i in $(seq $SAT_STEPS); do
    if sat_step "$server" "$rep" "$rate"; then good=$rate; rate=$((rate * 2)); else bad=$rate; break; fi
  done
  for i in $(seq $SAT_REFINE); do
    [ "$bad" -gt 0 ] && [ "$good" -gt 0 ] || break
    mid=$(( (good + bad) / 2 ))
    if sat_step "$server" "$rep" "$mid"; then good=$mid; else bad=$mid; fi
  done
  echo "{\"best\":$good}" >"$RUNS/satbest.$server.$rep.json"
}

# Per-user translation and broadcasts: idle clients, the game server sends.
gamesim_load_run() {  # name loadspec
  local name=$1 spec=$2
  gamesim_start
  gateway_start "$W/gw" 1
  gamesim_cmd "load $spec" >/dev/null
  load_run "$name" --port "$GW_PORT" --clients $CLIENTS --rate 0 --duration $DUR --warmup $WARM \
    "${spread[@]}" --cpu-pid "$GW_PID" --rss-pid "$GW_PID" --check-json
  gamesim_cmd "load stats" >"$RUNS/$name.gamesim"
  stop_all
}

# Memory: idle logged-in clients, then a burst that fills the queues, then
# the level once they have drained.
idle_run() {  # name
  local name=$1 ready=$W/ready rss_idle rss_peak rss_after i r
  rm -f "$ready"
  gamesim_start
  gateway_start "$W/gw" 1
  "$BIN/tavrel-load" --quiet --port "$GW_PORT" --clients $CLIENTS --rate 0 --warmup 2 \
    --duration $((DUR + 20)) "${spread[@]}" --cpu-pid "$GW_PID" --rss-pid "$GW_PID" \
    --ready-file "$ready" >"$RUNS/$name.json" 2>"$RUNS/$name.err" &
  local load_pid=$!
  for i in $(seq 600); do [ -e "$ready" ] && break; sleep 0.1; done
  sleep 3
  rss_idle=$(awk '/VmRSS/{print $2}' "/proc/$GW_PID/status")
  # For one second, 20 uncompressed text lines of 8 KB per client: more
  # than the one 2048-byte block per 10 ms tick that drains a queue, so
  # every queue grows during the burst.
  gamesim_cmd "load rate=20000 mix=text text=8000" >/dev/null
  rss_peak=$rss_idle
  for i in $(seq 10); do
    sleep 0.1
    r=$(awk '/VmRSS/{print $2}' "/proc/$GW_PID/status"); [ "$r" -gt "$rss_peak" ] && rss_peak=$r
  done
  gamesim_cmd "load off" >/dev/null
  # The queues drain within seconds; the gateway hands freed heap pages
  # back every 10 s.
  for i in $(seq 150); do
    sleep 0.1
    r=$(awk '/VmRSS/{print $2}' "/proc/$GW_PID/status"); [ "$r" -gt "$rss_peak" ] && rss_peak=$r
  done
  rss_after=$(awk '/VmRSS/{print $2}' "/proc/$GW_PID/status")
  echo "{\"rss_idle\":$rss_idle,\"rss_peak\":$rss_peak,\"rss_after\":$rss_after}" >"$RUNS/$name.burst"
  wait "$load_pid" || true
  [ -s "$RUNS/$name.json" ] || echo '{}' >"$RUNS/$name.json"
  stop_all
}

accept_run() {  # server tls rep
  local server=$1 tls=$2 rep=$3 flags=()
  [ "$tls" = 1 ] && flags=(--tls)
  if [ "$server" = gateway ]; then
    gamesim_start
    gateway_start "$W/gw" 1 "$tls"
    load_run "accept$tls.gateway.$rep" --port "$GW_PORT" --clients $CLIENTS --connect-only \
      --connect-concurrency 64 "${spread[@]}" --cpu-pid "$GW_PID" "${flags[@]}"
  else
    echo_start "$tls"
    load_run "accept$tls.echo.$rep" --mode echo --port "$ECHO_PORT" --clients $CLIENTS \
      --connect-only --connect-concurrency 64 "${spread[@]}" --cpu-pid "$ECHO_PID" "${flags[@]}"
  fi
  stop_all
}

# --- capacity: ten thousand players in one gateway ------------------------

# Playing: every client sends an echo request a second and gets a broadcast
# a second (bcast=0: none); the same at the large crowd and at 1000.
cap_run() {  # name clients broadcasts-per-second
  local name=$1 n=$2
  gamesim_start --load "bcast=$3 bsize=64"
  cap_gateway_start
  load_run "$name" --port "$GW_PORT" --clients "$n" --rate 1 --duration $DUR \
    --warmup "$(cap_warm "$n")" "${spread[@]}" --cpu-pid "$GW_PID" --rss-pid "$GW_PID" --connect-timeout 300
  gamesim_cmd "load stats" >"$RUNS/$name.gamesim" || log "run $name: no counters from the game server"
  stop_all
}

# Idle: logged in, nothing sent either way; CPU and memory.
idle_cap_run() {  # name clients
  local name=$1 n=$2
  gamesim_start
  cap_gateway_start
  load_run "$name" --port "$GW_PORT" --clients "$n" --rate 0 --duration $DUR \
    --warmup "$(cap_warm "$n")" "${spread[@]}" --cpu-pid "$GW_PID" --rss-pid "$GW_PID" --connect-timeout 300
  stop_all
}

# Broadcast alone to idle clients, the same copies a second at both sizes.
bcast_cap_run() {  # name clients broadcasts-per-second
  local name=$1 n=$2
  gamesim_start
  cap_gateway_start
  gamesim_cmd "load bcast=$3 bsize=64" >/dev/null
  load_run "$name" --port "$GW_PORT" --clients "$n" --rate 0 --duration $DUR \
    --warmup "$(cap_warm "$n")" "${spread[@]}" --cpu-pid "$GW_PID" --connect-timeout 300
  gamesim_cmd "load stats" >"$RUNS/$name.gamesim" || log "run $name: no counters from the game server"
  stop_all
}

# TLS reconnect storm: 1000 players at 1/s over wss; meanwhile, until their
# window ends, 1000 other TLS clients connect all at once, log in and close,
# round after round. storm=0: the players alone, the baseline.
storm_run() {  # name storm(0|1)
  local name=$1 storm=$2 ready=$W/ready i round=0 end
  rm -f "$ready"
  gamesim_start
  cap_gateway_start 1 "$STORM_SESSIONS"
  "$BIN/tavrel-load" --quiet --tls --port "$GW_PORT" --clients 1000 --rate 1 --warmup 2 \
    --duration $STORM_DUR "${spread[@]}" --cpu-pid "$GW_PID" --ready-file "$ready" \
    --connect-timeout 120 >"$RUNS/$name.json" 2>"$RUNS/$name.err" &
  local load_pid=$!
  for i in $(seq 1200); do [ -e "$ready" ] && break; sleep 0.1; done
  # Into the measured window, then rounds until a second before its end.
  sleep 3
  end=$(( $(date +%s) + STORM_DUR - 2 ))
  while [ "$storm" = 1 ] && [ "$round" -lt "$STORM_ROUNDS" ] && [ "$(date +%s)" -lt "$end" ] &&
    kill -0 "$load_pid" 2>/dev/null; do
    round=$((round + 1))
    "$BIN/tavrel-load" --quiet --tls --port "$GW_PORT" --clients 1000 --rate 0 --warmup 0 \
      --duration 0 --connect-concurrency 1000 --src-base 127.2.0.1 --per-addr 4 \
      --account storm --connect-timeout 60 >"$RUNS/$name.round$round.storm" \
      2>>"$RUNS/$name.err" || log "storm round $round: the load tool failed"
  done
  wait "$load_pid" || log "run $name: the load tool failed ($(tail -1 "$RUNS/$name.err"))"
  [ -s "$RUNS/$name.json" ] || echo '{}' >"$RUNS/$name.json"
  cut -d' ' -f1 /proc/loadavg >"$RUNS/$name.loadavg"
  # Which IoThreads the gateway ran with, and whether this build knows the key.
  local io known=true
  io=$(printf '%s\n' "${TAVREL_BENCH_RUN:-}" | sed -n 's/^[[:space:]]*IoThreads[[:space:]]*=[[:space:]]*//Ip' | head -1)
  grep -qi 'IoThreads is not a key' "$W/gw/stdout" && known=false
  echo "{\"iothreads\":\"${io:-0 (default)}\",\"known\":$known}" >"$RUNS/$name.iothreads"
  stop_all
}

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
START=$(date +%s)
log "work directory $W, $REPS repetition(s), load average $LOAD_BEFORE"
for rep in $(seq "$REPS"); do
  if want rt || want slow; then
    log "rep $rep: round trip, $CLIENTS clients x 10/s (A gateway, B echo, C websockify, D relay)"
    rt_gateway "rt.gateway.$rep"
  fi
  if want slow; then
    # Right after the plain run, which is its baseline.
    log "rep $rep: slow consumers (10 clients never read, each sent 400 KB/s)"
    gamesim_start --load "heavy=50 text=8000"
    gateway_start "$W/gw" 1
    load_run "slow.gateway.$rep" --port "$GW_PORT" --clients $CLIENTS --rate 10 --duration $DUR \
      --warmup $WARM "${spread[@]}" --cpu-pid "$GW_PID" --rss-pid "$GW_PID" --no-read 10
    stop_all
  fi
  if want rt; then
    rt_echo "rt.echo.$rep"
    rt_websockify "rt.websockify.$rep"
    rt_relay "rt.relay.$rep"
    log "rep $rep: the same round trip with [Run] Flush=tick"
    TAVREL_BENCH_RUN=$'Flush=tick\n'"${TAVREL_BENCH_RUN:-}" rt_gateway "rttick.gateway.$rep"
  fi
  if want light; then
    # So few messages that delivery on the tick would dominate their wait.
    log "rep $rep: light load, 100 clients x 1/s"
    RT_CLIENTS=100 RT_RATE=1 rt_gateway "light.gateway.$rep"
  fi
  if want logon; then
    log "rep $rep: per-user SM_LOGON records vs opaque bodies, 20000/s"
    gamesim_load_run "logon.gateway.$rep" "rate=20000 mix=logon"
    gamesim_load_run "opaque.gateway.$rep" "rate=20000 mix=opaque size=2023"
  fi
  if want bcast; then
    log "rep $rep: GM_SENDMSG to $CLIENTS x 20/s vs per-user messages of the same size"
    gamesim_load_run "bcast.gateway.$rep" "bcast=20 bsize=64"
    gamesim_load_run "unicast.gateway.$rep" "rate=20000 mix=opaque size=64"
  fi
  if want idle; then
    log "rep $rep: memory of $CLIENTS idle clients and after a burst"
    idle_run "idle.gateway.$rep"
    # A drained queue keeps its block up to ClientMsgBuffByte (10 MiB by
    # default) for the next messages; with a low threshold it is given back.
    log "rep $rep: the same burst with ClientMsgBuffByte=65536"
    TAVREL_BENCH_KEYS=$'ClientMsgBuffByte=65536\n'"${TAVREL_BENCH_KEYS:-}" \
      idle_run "idle64k.gateway.$rep"
  fi
  if want accept; then
    log "rep $rep: accept rate, plain and TLS"
    # A connect phase lasts a fraction of a second: three rounds a repetition.
    for round in 1 2 3; do
      for tls in 0 1; do
        accept_run gateway "$tls" "$rep.$round"
        accept_run echo "$tls" "$rep.$round"
      done
    done
  fi
  if want cap10k; then
    log "rep $rep: $CAP_CLIENTS and 1000 players, 1 message and 1 broadcast a second each"
    cap_run "cap.big.$rep" "$CAP_CLIENTS" 1
    cap_run "cap.1k.$rep" 1000 1
    # What of the tail is the broadcast's: the same without it (full runs).
    if [ "$QUICK" = 0 ]; then
      cap_run "capnb.big.$rep" "$CAP_CLIENTS" 0
      cap_run "capnb.1k.$rep" 1000 0
    fi
  fi
  if want idle10k; then
    log "rep $rep: CPU and memory of $CAP_CLIENTS and 1000 idle sessions"
    idle_cap_run "idlecap.big.$rep" "$CAP_CLIENTS"
    idle_cap_run "idlecap.1k.$rep" 1000
  fi
  if want bcast10k; then
    # The same copies a second: 2 broadcasts to the large crowd, 20 to 1000.
    log "rep $rep: broadcast to $CAP_CLIENTS x 2/s and to 1000 x 20/s"
    bcast_cap_run "bcastcap.big.$rep" "$CAP_CLIENTS" "$(python3 -c "print(20000 / $CAP_CLIENTS)")"
    bcast_cap_run "bcastcap.1k.$rep" 1000 20
  fi
  if want storm; then
    log "rep $rep: 1000 TLS players, alone and through a storm of 1000 TLS reconnects"
    storm_run "storm0.$rep" 0
    storm_run "storm1.$rep" 1
  fi
  if want sat; then
    log "rep $rep: saturation search"
    sat_search gateway "$rep"
    sat_search echo "$rep"
  fi
done
if want allocs; then
  log "heap allocations per message through the engine (tavrel-bench)"
  if [ -x "$BIN/bench/tavrel-bench" ]; then
    "$BIN/bench/tavrel-bench" --benchmark_filter=EngineRoundTrip --benchmark_format=json \
      >"$RUNS/allocs.bench" 2>"$RUNS/allocs.err" || log "tavrel-bench failed: see $RUNS/allocs.err"
  else
    log "$BIN/bench/tavrel-bench missing: allocs_per_msg stays empty"
  fi
fi
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)
ELAPSED=$(( $(date +%s) - START ))

# --- table -----------------------------------------------------------------

python3 "$ROOT/scripts/bench_report.py" "$RUNS" "$LOAD_BEFORE" "$LOAD_AFTER" "$ELAPSED" "$REPS" "$QUICK" \
  "$CLIENTS" "$WSFY_CLIENTS" "$CAP_CLIENTS"
