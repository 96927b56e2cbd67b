#!/usr/bin/env bash
# Scaling out: two gateway processes (their own ports and indexes, each with
# its own link to the same test game server, [Resume] on) behind Debian's
# HAProxy in HTTP mode on one public port (and one with TLS, which ends
# there), which passes every client's own address to them in a PROXY v2
# header and sets a sticky cookie naming the gateway. Checks that
#   1. 1000 clients spread over 250 source addresses all log in through the
#      balancer, every echo comes back, and both gateways carry sessions;
#   2. the gateways see the clients' own addresses, not the balancer's;
#   3. the per-address limit applies to those addresses: 6 clients from one
#      address get 4 sessions (IpCount 5 admits four), the other 2 are refused;
#   4. a client whose connection drops resumes from a new source address,
#      over TLS, through the balancer: its cookie takes it to the gateway that
#      keeps its session, on either gateway; without the cookie (balance
#      source alone) some of the resumes land on the other one and are
#      refused 4007;
#   5. the balancer's health check (/healthz on each console): once gateway
#      1 loses its game-server link, its check fails and new players all go
#      to gateway 2. Gateway 1 reaches the game server through a relay that
#      stands for its network path, so that cutting it downs that link only.
# Exits 0 when every check passes.
#
#   scripts/scaleout.sh [--no-build] [--build-dir DIR] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

BUILD=1
BUILD_DIR="$ROOT/build/release"
KEEP=0
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) BUILD=0 ;;
    --build-dir) BUILD_DIR=$(realpath "$2"); shift ;;
    --keep) KEEP=1 ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "scaleout: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
log() { echo "scaleout: $*" >&2; }
# shellcheck source=lib/procs.sh
. scripts/lib/procs.sh

if [ "$BUILD" = 1 ]; then
  log "building the release preset"
  cmake --preset release >/dev/null
  cmake --build --preset release --target tavrelh5 tavrel-gamesim tavrel-load >/dev/null
  BUILD_DIR="$ROOT/build/release"
fi
BIN=$BUILD_DIR
HAPROXY=$(command -v haproxy || echo /usr/sbin/haproxy)
if [ ! -x "$HAPROXY" ]; then
  log "installing haproxy"
  apt_install haproxy >/dev/null
  HAPROXY=$(command -v haproxy || echo /usr/sbin/haproxy)
fi
command -v openssl >/dev/null || apt_install openssl >/dev/null
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)" || true

W=$(mktemp -d /tmp/tavrel-scaleout.XXXXXX)
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ "$KEEP" = 1 ]; then log "work directory kept: $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# GET on a console: "<status> <first body line>".
http_get() {  # port path
  python3 - "$1" "$2" <<'PY'
import sys, urllib.request, urllib.error
try:
    r = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}{sys.argv[2]}", timeout=5)
    status, body = r.status, r.read()
except urllib.error.HTTPError as e:
    status, body = e.code, e.read()
except OSError:
    status, body = 0, b""
print(status, body.decode(errors="replace").split("\n")[0])
PY
}

# One sample of a gateway's console /metrics, by its name and labels.
metric() {  # console port, sample
  python3 - "$1" "$2" <<'PY'
import sys, urllib.request
text = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics", timeout=5).read().decode()
print(next((l.split()[-1] for l in text.splitlines() if l.startswith(sys.argv[2] + " ")), "?"))
PY
}
open_connections() { metric "$1" tavrel_open_connections; }
resumes_ok() { metric "$1" 'tavrel_resumes_total{result="ok"}'; }

# HAProxy's view of one server of the backend (UP, DOWN, ...).
server_state() {  # server
  python3 - "$W/haproxy.sock" "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1]); s.sendall(b"show stat\n")
data = b""
while chunk := s.recv(65536): data += chunk
for row in data.decode().splitlines():
    f = row.split(",")
    if len(f) > 17 and f[0] == "gateways" and f[1] == sys.argv[2]: print(f[17].split(" ")[0])
PY
}

wait_state() {  # server state seconds
  local i
  for i in $(seq $(( $3 * 10 ))); do
    [ "$(server_state "$1")" = "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

json() {  # file key (dotted)
  python3 -c "import json,sys; d=json.load(open(sys.argv[1]))
for k in sys.argv[2].split('.'): d=d.get(k, {}) if isinstance(d, dict) else {}
print(d if d != {} else '')" "$1" "$2"
}

# The game server both gateways link to.
"$BIN/tavrel-gamesim" --port 0 --control-port 0 --quiet --no-stdin --speed 0,0,0,0,0,0,5,0 \
  --magicinfo "" >"$W/gamesim.out" 2>&1 &
PIDS+=("$!")
wait_line "$W/gamesim.out" '^control on ' 10
GS_PORT=$(awk '/^listening on/{print $3}' "$W/gamesim.out")
GS_CTL=$(awk '/^control on/{print $3}' "$W/gamesim.out")

# Gateway 1's path to the game server, to be cut in check 4.
RELAY_PORT=$(free_port)
python3 - "$RELAY_PORT" "$GS_PORT" >"$W/relay.out" 2>&1 <<'PY' &
import asyncio, sys

async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    finally:
        writer.close()

async def relay(client_reader, client_writer):
    server_reader, server_writer = await asyncio.open_connection("127.0.0.1", int(sys.argv[2]))
    await asyncio.gather(pipe(client_reader, server_writer), pipe(server_reader, client_writer),
                         return_exceptions=True)

async def main():
    server = await asyncio.start_server(relay, "127.0.0.1", int(sys.argv[1]))
    print("relay ready", flush=True)
    await server.serve_forever()

asyncio.run(main())
PY
RELAY_PID=$!
PIDS+=("$RELAY_PID")
wait_line "$W/relay.out" '^relay ready' 10

# Two gateways, trusting the balancer's address for PROXY headers.
GW_PORTS=()
CONSOLE_PORTS=()
for idx in 1 2; do
  dir=$W/gw$idx
  mkdir -p "$dir"
  port=$(free_port)
  GW_PORTS+=("$port")
  CONSOLE_PORTS+=("$(free_port)")
  link_port=$GS_PORT
  [ "$idx" = 1 ] && link_port=$RELAY_PORT
  cat >"$dir/Tavrel.ini" <<EOF
[Tavrel]
GatePort=$port
ServerAddr=127.0.0.1
ServerPort=$link_port
ConnectOutTime=120
[Listen]
Addr=127.0.0.1
[Console]
Port=${CONSOLE_PORTS[$((idx - 1))]}
[Proxy]
Trusted=127.0.0.1
[Resume]
GraceSeconds=30
EOF
  (cd "$dir" && exec "$BIN/tavrelh5" 0 0 0 "$idx" "$port" >stdout 2>&1) &
  PIDS+=("$!")
done
for idx in 1 2; do wait_line "$W/gw$idx/stdout" '链接游戏引擎成功' 15; done

# One public port, and one where TLS ends at the balancer. "balance source"
# keeps every address without a cookie on one gateway, so the per-address
# limit of that gateway sees all of an address's clients; the cookie set on
# the upgrade brings a client's next upgrade (its resume, from whatever
# address) back to the gateway it names. The configuration of docs/SCALING.md.
PUBLIC=$(free_port)
PUBLIC_TLS=$(free_port)
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=127.0.0.1 -keyout "$W/haproxy.key" -out "$W/haproxy.crt" 2>/dev/null
cat "$W/haproxy.crt" "$W/haproxy.key" >"$W/haproxy.pem"
cat >"$W/haproxy.cfg" <<EOF
global
  maxconn 4000
  nbthread 1
  stats socket $W/haproxy.sock mode 600 level admin

defaults
  mode http
  timeout connect 5s
  timeout client 30s
  timeout server 30s
  timeout http-request 10s
  timeout tunnel 10m

frontend public
  bind 127.0.0.1:$PUBLIC
  bind 127.0.0.1:$PUBLIC_TLS ssl crt $W/haproxy.pem
  default_backend gateways

backend gateways
  balance source
  cookie GW insert indirect nocache secure
  option httpchk GET /healthz
  http-check expect status 200
  default-server inter 500ms fall 2 rise 2
  server gw1 127.0.0.1:${GW_PORTS[0]} send-proxy-v2 cookie gw1 check port ${CONSOLE_PORTS[0]}
  server gw2 127.0.0.1:${GW_PORTS[1]} send-proxy-v2 cookie gw2 check port ${CONSOLE_PORTS[1]}
EOF
"$HAPROXY" -c -q -f "$W/haproxy.cfg"
"$HAPROXY" -db -f "$W/haproxy.cfg" >"$W/haproxy.out" 2>&1 &
HAPROXY_PID=$!
PIDS+=("$HAPROXY_PID")
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$PUBLIC") 2>/dev/null && break; sleep 0.05; done
kill -0 "$HAPROXY_PID" 2>/dev/null || { log "HAProxy did not start:"; cat "$W/haproxy.out" >&2; exit 1; }
for gw in gw1 gw2; do
  wait_state "$gw" UP 10 || { log "$gw not UP in HAProxy: $(server_state "$gw")"; exit 1; }
done
log "gateways on ${GW_PORTS[*]}, HAProxy on $PUBLIC (TLS $PUBLIC_TLS), game server on $GS_PORT"

FAIL=0
check() {  # description 0|1
  if [ "$2" = 1 ]; then echo "PASS  $1"; else echo "FAIL  $1"; FAIL=1; fi
}

# 1 and 2: a thousand clients through the balancer.
"$BIN/tavrel-load" --quiet --port "$PUBLIC" --clients 1000 --rate 2 --warmup 2 --duration 6 \
  --src-base 127.1.0.1 --per-addr 4 --ready-file "$W/ready" >"$W/load1.json" 2>"$W/load1.err" &
LOAD=$!
for _ in $(seq 600); do [ -e "$W/ready" ] && break; sleep 0.1; done
sleep 1
gamesim_cmd sessions >"$W/sessions.txt" || true
wait "$LOAD" || true
ready=$(json "$W/load1.json" ready); ready=${ready:-0}
refused=$(json "$W/load1.json" refused); refused=${refused:-0}
sent=$(json "$W/load1.json" echo_sent); sent=${sent:-0}
got=$(json "$W/load1.json" echo_recv); got=${got:-0}
lost=$(json "$W/load1.json" echo_lost); lost=${lost:-1}
link1=$(grep -c 'session link=1 .*login=1' "$W/sessions.txt" || true)
link2=$(grep -c 'session link=2 .*login=1' "$W/sessions.txt" || true)
addrs=$( (grep -o 'addr="[^"]*"' "$W/sessions.txt" || true) | sort -u | wc -l)
balancer=$(grep -c 'addr="127.0.0.1"' "$W/sessions.txt" || true)
echo "1000 clients: ready=$ready refused=$refused echoes=$got/$sent lost=$lost;" \
  "logged in via gateway 1: $link1, gateway 2: $link2; distinct addresses: $addrs"
check "every one of 1000 clients logged in through the balancer" $((ready == 1000))
check "every echo came back" $((lost == 0 && sent > 0))
check "both gateways carry sessions" $((link1 > 0 && link2 > 0 && link1 + link2 == 1000))
check "the gateways saw the clients' own addresses" $((addrs == 250 && balancer == 0))

# 3: six clients from one address.
"$BIN/tavrel-load" --quiet --port "$PUBLIC" --clients 6 --rate 1 --warmup 1 --duration 2 \
  --src-base 127.9.9.9 --per-addr 6 >"$W/load2.json" 2>"$W/load2.err" || true
ready=$(json "$W/load2.json" ready); ready=${ready:-0}
refused=$(json "$W/load2.json" refused); refused=${refused:-0}
echo "6 clients from 127.9.9.9: ready=$ready refused=$refused"
check "the per-address limit admits 4 of 6 clients of one address" $((ready == 4 && refused == 2))

# 4: resumes from a new address through the balancer, with the cookie and
# without. One client per address; each resumes from the address after its
# own, which balance source alone puts on the other gateway (as the run
# without the cookie shows), so that only the cookie can bring it back.
resume_run() {  # name, source base, resume source base, options...
  local name=$1 src=$2 from=$3
  shift 3
  "$BIN/tavrel-load" --quiet --port "$PUBLIC_TLS" --tls --clients 40 --rate 2 --warmup 0.5 \
    --duration 1 --src-base "$src" --resume-from "$from" --per-addr 1 --account "$name" "$@" \
    >"$W/$name.json" 2>"$W/$name.err" || true
}
before1=$(resumes_ok "${CONSOLE_PORTS[0]}")
before2=$(resumes_ok "${CONSOLE_PORTS[1]}")
resume_run sticky 127.4.0.1 127.5.0.2
ok1=$(( $(resumes_ok "${CONSOLE_PORTS[0]}") - before1 ))
ok2=$(( $(resumes_ok "${CONSOLE_PORTS[1]}") - before2 ))
ready=$(json "$W/sticky.json" ready); ready=${ready:-0}
resumed=$(json "$W/sticky.json" resume.ok); resumed=${resumed:-0}
refused=$(json "$W/sticky.json" resume.refused); refused=${refused:-0}
sent=$(json "$W/sticky.json" echo_sent); sent=${sent:-0}
lost=$(json "$W/sticky.json" echo_lost); lost=${lost:-1}
echo "40 clients resuming from new addresses with the cookie: ready=$ready resumed=$resumed" \
  "refused=$refused, resumed on gateway 1: $ok1, gateway 2: $ok2; echoes after: $sent lost=$lost"
check "every resume from a new address reaches its session, on either gateway" \
  $((ready == 40 && resumed == 40 && ok1 > 0 && ok2 > 0 && ok1 + ok2 == 40 && sent > 0 && lost == 0))
resume_run nocookie 127.6.0.1 127.7.0.2 --no-cookies --warmup 0 --duration 0
resumed=$(json "$W/nocookie.json" resume.ok); resumed=${resumed:-0}
refused=$(json "$W/nocookie.json" resume.refused); refused=${refused:-0}
echo "40 clients resuming from new addresses without the cookie: resumed=$resumed refused=$refused"
check "without the cookie, balance source sends some resumes to the other gateway (4007)" \
  $((refused > 0 && resumed + refused == 40))

# 5: gateway 1's link goes down; the balancer's health check takes it out.
kill -TERM "$RELAY_PID" 2>/dev/null || true
wait "$RELAY_PID" 2>/dev/null || true
health1=""
for _ in $(seq 100); do
  health1=$(http_get "${CONSOLE_PORTS[0]}" /healthz)
  [ "${health1%% *}" = 503 ] && break
  sleep 0.05
done
health2=$(http_get "${CONSOLE_PORTS[1]}" /healthz)
wait_state gw1 DOWN 10 || true
state1=$(server_state gw1)
state2=$(server_state gw2)
echo "gateway 1's link cut: /healthz gateway 1 \"$health1\", gateway 2 \"$health2\";" \
  "HAProxy: gw1 $state1, gw2 $state2"
check "a gateway without its game-server link fails its health check" \
  $([ "$health1" = "503 game server link down" ] && [ "$health2" = "200 ok" ] && echo 1 || echo 0)
check "the balancer takes it out of service" \
  $([ "$state1" = DOWN ] && [ "$state2" = UP ] && echo 1 || echo 0)
rm -f "$W/ready"
"$BIN/tavrel-load" --quiet --port "$PUBLIC" --clients 40 --rate 1 --warmup 1 --duration 4 \
  --src-base 127.3.0.1 --per-addr 4 --ready-file "$W/ready" >"$W/load3.json" 2>"$W/load3.err" &
LOAD=$!
for _ in $(seq 200); do [ -e "$W/ready" ] && break; sleep 0.1; done
sleep 1
open1=$(open_connections "${CONSOLE_PORTS[0]}")
open2=$(open_connections "${CONSOLE_PORTS[1]}")
wait "$LOAD" || true
ready=$(json "$W/load3.json" ready); ready=${ready:-0}
echo "40 new clients: ready=$ready; open connections on gateway 1: $open1, gateway 2: $open2"
check "new players all go to the gateway whose link is up" \
  $([ "$ready" = 40 ] && [ "$open1" = 0 ] && [ "$open2" = 40 ] && echo 1 || echo 0)

if [ "$FAIL" = 0 ]; then echo "scaleout: all checks passed"; else echo "scaleout: FAILED"; fi
exit "$FAIL"
