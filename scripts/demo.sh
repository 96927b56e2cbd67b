#!/usr/bin/env bash
# Builds the release preset, then runs the gateway with the demo game server
# in a working directory of its own (default ./demo-home). Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

home=${1:-"$root/demo-home"}
gate_port=${GATE_PORT:-7303}
server_port=${SERVER_PORT:-5000}

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tavrelh5 tavrel-gamesim

mkdir -p "$home"
if [ ! -f "$home/Tavrel.ini" ]; then
  printf '[Tavrel]\nGatePort=%s\nServerPort=%s\n' "$gate_port" "$server_port" > "$home/Tavrel.ini"
fi

"$root/build/release/tavrel-gamesim" --port "$server_port" > "$home/gamesim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT

echo "demo game server on 127.0.0.1:$server_port (log: $home/gamesim.log)"
echo "gateway WebSocket on ws://127.0.0.1:$gate_port/ (working directory $home)"
cd "$home"
"$root/build/release/tavrelh5"
