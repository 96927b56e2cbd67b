#!/usr/bin/env bash
# Scaling out: two gateway processes (their own ports and indexes, each with
# its own link to the same test game server) behind Debian's HAProxy on one
# public port, which passes every client's own address to them in a PROXY v2
# header. Checks that
#   1. 1000 clients spread over 250 source addresses all log in through the
#      balancer, every echo comes back, and both gateways carry sessions;
#   2. the gateways see the clients' own addresses, not the balancer's;
#   3. the per-address limit applies to those addresses: 6 clients from one
#      address get 4 sessions (IpCount 5 admits four), the other 2 are refused.
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
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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

# Two gateways, trusting the balancer's address for PROXY headers.
GW_PORTS=()
for idx in 1 2; do
  dir=$W/gw$idx
  mkdir -p "$dir"
  port=$(free_port)
  GW_PORTS+=("$port")
  cat >"$dir/Tavrel.ini" <<EOF
[Tavrel]
GatePort=$port
ServerAddr=127.0.0.1
ServerPort=$GS_PORT
ConnectOutTime=120
[Listen]
Addr=127.0.0.1
[Console]
Port=$(free_port)
[Proxy]
Trusted=127.0.0.1
EOF
  (cd "$dir" && exec "$BIN/tavrelh5" 0 0 0 "$idx" "$port" >stdout 2>&1) &
  PIDS+=("$!")
done
for idx in 1 2; do wait_line "$W/gw$idx/stdout" '链接游戏引擎成功' 15; done

# One public port; "balance source" keeps every address on one gateway, so
# the per-address limit of that gateway sees all of an address's clients.
PUBLIC=$(free_port)
cat >"$W/haproxy.cfg" <<EOF
global
  maxconn 4000
  nbthread 1

defaults
  mode tcp
  timeout connect 5s
  timeout client 300s
  timeout server 300s

frontend public
  bind 127.0.0.1:$PUBLIC
  default_backend gateways

backend gateways
  balance source
  server gw1 127.0.0.1:${GW_PORTS[0]} send-proxy-v2
  server gw2 127.0.0.1:${GW_PORTS[1]} send-proxy-v2
EOF
"$HAPROXY" -c -q -f "$W/haproxy.cfg"
"$HAPROXY" -db -f "$W/haproxy.cfg" >"$W/haproxy.out" 2>&1 &
HAPROXY_PID=$!
PIDS+=("$HAPROXY_PID")
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$PUBLIC") 2>/dev/null && break; sleep 0.05; done
kill -0 "$HAPROXY_PID" 2>/dev/null || { log "HAProxy did not start:"; cat "$W/haproxy.out" >&2; exit 1; }
log "gateways on ${GW_PORTS[*]}, HAProxy on $PUBLIC, game server on $GS_PORT"

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

if [ "$FAIL" = 0 ]; then echo "scaleout: all checks passed"; else echo "scaleout: FAILED"; fi
exit "$FAIL"
