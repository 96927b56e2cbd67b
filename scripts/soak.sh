#!/usr/bin/env bash
# Soak test: runs the gateway for N minutes (default 10) against the soak
# driver, which plays the game server and a crowd of browser clients with
# per-user and broadcast traffic, kicks, reconnects and a link drop every
# minute, and checks that nothing accepted is lost, doubled or reordered.
# Prints the counts, the gateway's memory curve and the verdict; exits
# non-zero on any loss, duplicate, reorder, crash or leak.
#
# --resume turns on [Resume] in the gateway and has every client drop its
# connection without a close frame every few seconds and resume its session
# with its token and byte count; the stream to the client must stay exact,
# nothing may arrive twice at the game server, and the game server must not
# notice the moves. A refused resume fails the run unless a kick explains it.
#
# --handover (with --resume) also sends the gateway SIGUSR2 every minute,
# half-way between the link drops: every client is closed with 1012 and
# resumes on the new image at once; the link must stay the same connection,
# the game server must see nothing of it, and each hand-over must be logged.
#
# Up to 20000 clients, each from its own loopback address (127.1.x.y), with
# [Run] Sessions sized to the crowd; beyond 200 clients each one's rates fall
# in proportion, so the totals stay those of 200.
#
#   scripts/soak.sh [--minutes N] [--clients N] [--preset release|debug|asan] [--resume]
#                   [--handover]
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=10
clients=40
preset=release
resume=()
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes="$2"; shift 2 ;;
    --clients) clients="$2"; shift 2 ;;
    --preset) preset="$2"; shift 2 ;;
    --resume) resume+=(--resume); shift ;;
    --handover) resume+=(--handover); shift ;;
    *) echo "usage: $0 [--minutes N] [--clients N] [--preset NAME] [--resume] [--handover]" >&2; exit 2 ;;
  esac
done

if [ ! -f "build/$preset/build.ninja" ]; then
  cmake --preset "$preset" >/dev/null
fi
cmake --build --preset "$preset" --target tavrelh5 tavrel-soak -j "$(nproc)"
# A descriptor per client in the driver and in the gateway, which inherits it.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
exec "build/$preset/tavrel-soak" --gateway "build/$preset/tavrelh5" --minutes "$minutes" \
  --clients "$clients" --seed "${SOAK_SEED:-$RANDOM}" "${resume[@]}"
