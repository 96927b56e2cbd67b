#!/usr/bin/env bash
# Load benchmark of the gateway on this machine, side by side with a bare
# Boost.Beast WebSocket echo server (tools/echo, the floor of any WebSocket
# server here) and Debian's websockify bridging to a TCP echo (what an
# operator would put in front of a game server instead). Every scenario runs
# against its servers in turn, repeated and interleaved (A B C A B C ...);
# the CPU time of the server processes comes from /proc (the load tool reads
# it at the edges of its measured window). Prints a table of medians and
# ratios; the last line is one JSON object with the headline figures.
#
#   scripts/bench.sh            full run (about 20 minutes)
#   scripts/bench.sh --quick    every scenario, shortened (under 5 minutes)
#
# Options: --reps N, --no-build (use the binaries already in --build-dir),
# --build-dir DIR (default build/release), --only rt,sat,... (scenarios:
# rt sat logon bcast idle accept slow), --keep (keep the work directory).
# TAVREL_BENCH_KEYS, if set, is added to the [Tavrel] section of every
# gateway's Tavrel.ini (for example "ClientMsgBuffByte=65536" to try a setting).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

QUICK=0
REPS=""
BUILD=1
BUILD_DIR="$ROOT/build/release"
ONLY=""
KEEP=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --reps) REPS=$2; shift ;;
    --no-build) BUILD=0 ;;
    --build-dir) BUILD_DIR=$(realpath "$2"); shift ;;
    --only) ONLY=$2; shift ;;
    --keep) KEEP=1 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "$QUICK" = 1 ]; then
  : "${REPS:=1}"
  DUR=5; WARM=2; SAT_DUR=4; SAT_STEPS=4; SAT_REFINE=0; WSFY_CLIENTS=100
else
  : "${REPS:=3}"
  DUR=15; WARM=3; SAT_DUR=8; SAT_STEPS=6; SAT_REFINE=2; WSFY_CLIENTS=200
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
  cmake --build --preset release --target tavrelh5 tavrel-gamesim tavrel-load tavrel-echo >/dev/null
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

ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)" || true

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

gamesim_start() {  # [extra args]
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
[Listen]
Addr=127.0.0.1
[Console]
Port=$(free_port)
[TLS]
CertFile=$W/tls.crt
KeyFile=$W/tls.key
EOF
  (cd "$dir" && exec "$BIN/tavrelh5" 0 0 0 "$idx" "$GW_PORT" >stdout 2>&1) &
  GW_PID=$!
  PIDS+=("$GW_PID")
  wait_line "$dir/stdout" '链接游戏引擎成功' 15
}

echo_start() {  # [tls]
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

websockify_start() {
  "$BIN/tavrel-echo" --tcp --port 0 >"$W/tcpecho.out" 2>&1 &
  PIDS+=("$!")
  wait_line "$W/tcpecho.out" '^listening on' 10
  local tcp_port
  tcp_port=$(awk '{print $3}' "$W/tcpecho.out")
  WSFY_PORT=$(free_port)
  # Its own process group: it forks a process per connection.
  setsid websockify "127.0.0.1:$WSFY_PORT" "127.0.0.1:$tcp_port" >"$W/websockify.out" 2>&1 &
  WSFY_PID=$!
  disown "$WSFY_PID"  # stopped with its group; no job notice
  GROUPS_+=("$WSFY_PID")
  wait_port "$WSFY_PORT" 15
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

# --- scenarios -------------------------------------------------------------

# A: the gateway with the test game server; B: the Beast echo; C: websockify.
rt_gateway() {  # name [extra load args]
  local name=$1; shift
  gamesim_start
  gateway_start "$W/gw" 1
  load_run "$name" --port "$GW_PORT" --clients $CLIENTS --rate 10 --duration $DUR --warmup $WARM \
    "${spread[@]}" --cpu-pid "$GW_PID" --rss-pid "$GW_PID" "$@"
  stop_all
}

rt_echo() {
  echo_start
  load_run "$1" --mode echo --port "$ECHO_PORT" --clients $CLIENTS --rate 10 --duration $DUR \
    --warmup $WARM "${spread[@]}" --cpu-pid "$ECHO_PID"
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

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
START=$(date +%s)
log "work directory $W, $REPS repetition(s), load average $LOAD_BEFORE"
for rep in $(seq "$REPS"); do
  if want rt || want slow; then
    log "rep $rep: round trip, $CLIENTS clients x 10/s (A gateway, B echo, C websockify)"
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
  if want sat; then
    log "rep $rep: saturation search"
    sat_search gateway "$rep"
    sat_search echo "$rep"
  fi
done
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)
ELAPSED=$(( $(date +%s) - START ))

# --- table -----------------------------------------------------------------

python3 - "$RUNS" "$LOAD_BEFORE" "$LOAD_AFTER" "$ELAPSED" "$REPS" "$QUICK" "$CLIENTS" \
  "$WSFY_CLIENTS" <<'EOF'
import glob, json, os, statistics, sys

runs, load_before, load_after, elapsed, reps, quick, clients, wsfy = sys.argv[1:9]
clients = int(clients)

def load(pattern):
    out = []
    for path in sorted(glob.glob(os.path.join(runs, pattern))):
        try:
            out.append(json.load(open(path)))
        except ValueError:
            pass
    return out

def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None

def cpu_per(d, count):
    cpu = d.get("server_cpu_s", -1)
    return cpu * 1e6 / count if cpu is not None and cpu >= 0 and count else None

def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None

def fmt(v, digits=3):
    if v is None:
        return "-"
    if isinstance(v, str):
        return v
    return f"{v:.{digits}g}" if abs(v) < 1e5 else f"{v:.0f}"

rows = []
def row(scenario, figure, a, b=None, c=None, r=None, target="", ok=None):
    rows.append((scenario, figure, fmt(a), fmt(b), fmt(c), fmt(r), target,
                 "" if ok is None else ("met" if ok else "MISSED")))

result = {}

# Round trip.
rt = {s: load(f"rt.{s}.*.json") for s in ("gateway", "echo", "websockify")}
rt_cpu = {s: med([cpu_per(d, d.get("echo_recv")) for d in v]) for s, v in rt.items()}
rt_p99 = {s: med([d.get("rtt_ms", {}).get("p99") for d in v]) for s, v in rt.items()}
rt_rate = {s: med([d.get("echo_per_s") for d in v]) for s, v in rt.items()}
r_echo = ratio(rt_cpu["gateway"], rt_cpu["echo"])
r_wsfy = ratio(rt_cpu["gateway"], rt_cpu["websockify"])
result["rt_cpu_vs_echo"] = r_echo
result["rt_cpu_vs_websockify"] = r_wsfy
result["rt_p99_ms"] = rt_p99["gateway"]
if rt["gateway"]:
    row("round trip", "CPU us per round trip", rt_cpu["gateway"], rt_cpu["echo"],
        rt_cpu["websockify"], r_echo, "A/B <= 2.0", r_echo is not None and r_echo <= 2.0)
    row("round trip", "  A/C (websockify)", None, None, None, r_wsfy, "A/C <= 0.25",
        r_wsfy is not None and r_wsfy <= 0.25)
    row("round trip", "p99 ms", rt_p99["gateway"], rt_p99["echo"], rt_p99["websockify"], None,
        "A <= 25", rt_p99["gateway"] is not None and rt_p99["gateway"] <= 25)
    row("round trip", "echoes per s", rt_rate["gateway"], rt_rate["echo"], rt_rate["websockify"])

# Slow consumers: p99 of the reading clients with 10 that never read, against
# the plain round-trip run of the same repetition.
slow = load("slow.gateway.*.json")
if slow:
    p99_with = med([d.get("rtt_ms", {}).get("p99") for d in slow])
    # Each slow run against the plain run just before it, then the median.
    changes = []
    for path in sorted(glob.glob(os.path.join(runs, "slow.gateway.*.json"))):
        base = path.replace("slow.gateway.", "rt.gateway.")
        try:
            a, b = json.load(open(path)), json.load(open(base))
            changes.append(a["rtt_ms"]["p99"] / b["rtt_ms"]["p99"] - 1)
        except (OSError, KeyError, ValueError, ZeroDivisionError):
            pass
    change = med(changes)
    result["slow_consumer_p99_change"] = change
    peak = med([d.get("rss_kb", {}).get("peak") for d in slow])
    row("slow consumers", "p99 ms with 10 not reading", p99_with, None, None, change,
        "change <= +10%", change is not None and change <= 0.10)
    row("slow consumers", "peak RSS MB", peak / 1024 if peak else None)

# Per-user translation.
logon, opaque = load("logon.gateway.*.json"), load("opaque.gateway.*.json")
if logon and opaque:
    c_logon = med([cpu_per(d, d.get("recv_kinds", {}).get("logon")) for d in logon])
    c_opaque = med([cpu_per(d, d.get("recv_kinds", {}).get("opaque")) for d in opaque])
    r = ratio(c_logon, c_opaque)
    result["logon_vs_opaque"] = r
    row("per-user", "CPU us per SM_LOGON / opaque msg", c_logon, c_opaque, None, r, "<= 4",
        r is not None and r <= 4)
    row("per-user", "delivered per s (logon, opaque)",
        med([d.get("recv_per_s") for d in logon]), med([d.get("recv_per_s") for d in opaque]))

# Runs in which the test game server had to skip messages because the
# gateway's link was not drained (the gateway short of CPU).
skips = []
for path in glob.glob(os.path.join(runs, "*.gamesim")):
    text = open(path).read()
    fields = dict(f.split("=", 1) for f in text.split() if "=" in f)
    try:
        sent = int(fields.get("user", 0)) + int(fields.get("bcast", 0))
        skipped = int(fields.get("skipped", 0))
        if sent and skipped > 0.05 * (sent + skipped):
            skips.append(os.path.basename(path).rsplit(".", 1)[0])
    except ValueError:
        pass

# Broadcast.
bcast, uni = load("bcast.gateway.*.json"), load("unicast.gateway.*.json")
if bcast and uni:
    c_b = med([cpu_per(d, d.get("recv_kinds", {}).get("bcast")) for d in bcast])
    c_u = med([cpu_per(d, d.get("recv_kinds", {}).get("opaque")) for d in uni])
    r = ratio(c_b, c_u)
    result["broadcast_vs_unicast"] = r
    complete = all(d.get("seq", {}).get("bcast_missing", 1) == 0 and
                   d.get("seq", {}).get("bcast_clients", 0) == d.get("ready", -1) for d in bcast)
    row("broadcast", "CPU us per copy (bcast / unicast)", c_b, c_u, None, r, "<= 1.5",
        r is not None and r <= 1.5)
    row("broadcast", "every client got every broadcast", "yes" if complete else "NO", None, None,
        None, "all", complete)

# Memory.
idle = load("idle.gateway.*.json")
if idle:
    per = med([(d["rss_kb"]["ready"] - d["rss_kb"]["start"]) / d["ready"]
               for d in idle if d.get("ready") and d.get("rss_kb", {}).get("ready")])
    total = med([d["rss_kb"]["ready"] / 1024 for d in idle if d.get("rss_kb", {}).get("ready")])
    result["idle_kb_per_session"] = per
    row("memory", "KB per idle session", per)
    row("memory", f"RSS MB with {clients} idle", total, None, None, None, "<= 100",
        total is not None and total <= 100)
    bursts = load("idle.gateway.*.burst")
    if bursts:
        back = med([(b["rss_after"] - b["rss_idle"]) / b["rss_idle"] for b in bursts])
        peak = med([b["rss_peak"] / 1024 for b in bursts])
        row("memory", "burst peak RSS MB", peak)
        row("memory", "after the burst, above idle", f"{back * 100:+.1f}%", None, None, None,
            "<= +10%", back <= 0.10)
    bursts = load("idle64k.gateway.*.burst")
    if bursts:
        back = med([(b["rss_after"] - b["rss_idle"]) / b["rss_idle"] for b in bursts])
        row("memory", "  the same, ClientMsgBuffByte=65536", f"{back * 100:+.1f}%", None, None,
            None, "<= +10%", back <= 0.10)

# Accept rate.
acc = []
for tls in ("0", "1"):
    g, e = load(f"accept{tls}.gateway.*.json"), load(f"accept{tls}.echo.*.json")
    if not g or not e:
        continue
    c_g = med([cpu_per(d, d.get("ready")) for d in g])
    c_e = med([cpu_per(d, d.get("ready")) for d in e])
    r = ratio(c_e, c_g)  # connects per CPU second, gateway over echo
    acc.append(r)
    label = "TLS" if tls == "1" else "plain"
    row("accept", f"CPU us per connect, {label}", c_g, c_e, None, r, ">= 0.8",
        r is not None and r >= 0.8)
if acc:
    result["accept_vs_echo"] = min(a for a in acc if a is not None) if any(acc) else None

# Saturation.
best = {s: med([d.get("best") for d in load(f"satbest.{s}.*.json")]) for s in ("gateway", "echo")}
if best["gateway"] is not None:
    r = ratio(best["gateway"], best["echo"])
    result["saturation_vs_echo"] = r
    row("saturation", "echoes/s with p99 < 50 ms", best["gateway"], best["echo"], None, r,
        ">= 0.5", r is not None and r >= 0.5)

loads = []
for path in glob.glob(os.path.join(runs, "*.loadavg")):
    try:
        loads.append(float(open(path).read().split()[0]))
    except (ValueError, IndexError):
        pass

head = ("scenario", "figure", "A gateway", "B echo", "C websockify", "ratio", "target", "")
widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
print()
print(f"TavrelH5 load benchmark: {'quick' if quick == '1' else 'full'}, {reps} repetition(s), "
      f"{elapsed} s; load average {load_before} before, {load_after} after; "
      f"websockify with {wsfy} clients; medians over repetitions")
for r in [head] + rows:
    print("  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip())
if loads:
    print(f"one-minute load average at the end of the runs: {min(loads):.2f} to {max(loads):.2f} "
          f"(median {statistics.median(loads):.2f}) on {os.cpu_count()} cores")
if skips:
    print("runs in which the game server skipped over 5% of its messages (gateway short of CPU): "
          + ", ".join(sorted(skips)))
keys = ["rt_cpu_vs_echo", "rt_cpu_vs_websockify", "rt_p99_ms", "saturation_vs_echo",
        "logon_vs_opaque", "broadcast_vs_unicast", "idle_kb_per_session", "accept_vs_echo",
        "slow_consumer_p99_change"]
print(json.dumps({k: (round(result[k], 4) if result.get(k) is not None else None) for k in keys}))
EOF
