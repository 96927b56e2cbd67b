#!/usr/bin/env bash
# Builds the gateway and the demo game server (the demo preset: no tests,
# so only the build packages are installed), then runs both on 127.0.0.1
# only, in a working directory of its own (default ./demo-home). The game
# server greets every client that logs in with a text line and a translated
# record (SM_DAMAGE, which reaches the page as JSON) and sends every player a
# system message every 10 seconds. Ctrl-C stops everything.
#
#   scripts/demo.sh [HOME]
#   GATE_PORT (7303), SERVER_PORT (5000), CONSOLE_PORT (GATE_PORT + 1000)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

home=${1:-"$root/demo-home"}
gate_port=${GATE_PORT:-7303}
server_port=${SERVER_PORT:-5000}
console_port=${CONSOLE_PORT:-$((gate_port + 1000))}
log() { echo "demo: $*" >&2; }
# shellcheck source=lib/procs.sh
. scripts/lib/procs.sh

scripts/install-deps.sh build
cmake --preset demo >/dev/null
cmake --build --preset demo --target tavrelh5 tavrel-gamesim
bin=$root/build/demo

# The demo's own settings, written at every run: nothing listens beyond
# loopback.
mkdir -p "$home"
cat >"$home/Tavrel.ini" <<EOF
[Tavrel]
GatePort=$gate_port
ServerAddr=127.0.0.1
ServerPort=$server_port
[Listen]
Addr=127.0.0.1
[Console]
Addr=127.0.0.1
Port=$console_port
EOF

: >"$home/gamesim.log"  # the wait below must not read an earlier run's port
"$bin/tavrel-gamesim" --addr 127.0.0.1 --port "$server_port" --control-port 0 --no-stdin \
  >"$home/gamesim.log" 2>&1 &
sim=$!
driver=
gate=
# The gateway drains on SIGTERM; then the game server and the driver go.
stop() {
  if [ -n "$gate" ]; then kill -TERM "$gate" 2>/dev/null || true; wait "$gate" 2>/dev/null || true; fi
  kill $driver $sim 2>/dev/null || true
  wait $driver $sim 2>/dev/null || true
}
trap stop EXIT
trap 'exit 130' INT TERM
wait_line "$home/gamesim.log" '^control on ' 10
GS_CTL=$(awk '/^control on/{print $3}' "$home/gamesim.log")

# An SM_DAMAGE record: the user id (a length byte and 50 characters), the
# kind (16 bits) and the power (64 bits), little-endian.
damage_record() {  # user-id
  local id hex
  id=$(printf '%s' "$1" | od -An -tx1 | tr -d ' \n')
  hex=$(printf '%02x%s' "${#1}" "$id")
  while [ ${#hex} -lt 102 ]; do hex+=00; done
  echo "${hex}0100d204000000000000"
}

# Watches the game server's sessions once a second: each new login gets its
# welcome, and every 10 seconds everyone gets the broadcast.
drive() {
  local -A greeted
  local tick=0 line key name
  while kill -0 "$sim" 2>/dev/null; do
    local -A present=()
    while IFS= read -r line; do
      [[ $line =~ link=([0-9]+)\ handle=([0-9]+).*login=1.*char=\"([^\"]*)\" ]] || continue
      key=${BASH_REMATCH[1]}:${BASH_REMATCH[2]}
      # A text line ends at its first "!", so names and texts carry none.
      name=${BASH_REMATCH[3]}
      [[ $name =~ ^[A-Za-z0-9_]{1,20}$ ]] || name=player
      present[$key]=1
      [ -n "${greeted[$key]:-}" ] && continue
      gamesim_cmd "data $key text Welcome to the TavrelH5 demo, $name" >/dev/null || true
      gamesim_cmd "data $key msg SM_DAMAGE 0 0 0 0 hex:$(damage_record "$name")" >/dev/null || true
    done < <(gamesim_cmd sessions 2>/dev/null || true)
    greeted=()
    for key in "${!present[@]}"; do greeted[$key]=1; done
    unset present
    if [ $((tick % 10)) = 9 ] && [ ${#greeted[@]} -gt 0 ]; then
      gamesim_cmd "sendmsg msg SM_SYSMESSAGE 0 0 0 0 enc:{\"Msg\":\"Server time $(date +%H:%M:%S), ${#greeted[@]} online\",\"FColor\":255,\"BColor\":22}" >/dev/null || true
    fi
    tick=$((tick + 1))
    sleep 1
  done
}
drive &
driver=$!

echo "demo game server on 127.0.0.1:$server_port (log: $home/gamesim.log)"
echo "gateway WebSocket on ws://127.0.0.1:$gate_port/ (working directory $home)"
echo "operator console: the URL the gateway prints below as \"Console http://127.0.0.1:$console_port/?token=...\""
echo "demo client:      http://127.0.0.1:$console_port/demo/"
(cd "$home" && exec "$bin/tavrelh5") &
gate=$!
wait "$gate"
