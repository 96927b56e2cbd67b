# Shell helpers shared by the benchmark and the scale-out check: packages,
# free ports, waiting for processes, and the test game server's control
# port. The sourcing script defines log() and, for gamesim_cmd, GS_CTL.

apt_install() {  # packages...
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@"
}

# A free port below the ephemeral range, so that the load tool's outgoing
# connections never hold it.
free_port() {
  local p
  for _ in $(seq 200); do
    p=$((20000 + RANDOM % 12000))
    # Any socket with that port on either end (from /proc: no extra tools).
    if ! grep -qi "$(printf ':%04X ' "$p")" /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
      echo "$p"
      return
    fi
  done
  log "no free port"; return 1
}

wait_line() {  # file pattern seconds
  local i
  for i in $(seq $(( $3 * 20 ))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  log "timed out waiting for '$2' in $1"; tail -5 "$1" >&2 || true; return 1
}

wait_port() {  # port seconds
  local i
  for i in $(seq $(( $2 * 20 ))); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  log "nothing listens on $1"; return 1
}

gamesim_cmd() {  # command line; prints the replies up to "ok"
  local fd line
  exec {fd}<>"/dev/tcp/127.0.0.1/$GS_CTL"
  printf '%s\n' "$*" >&"$fd"
  while IFS= read -r -t 10 line <&"$fd"; do
    [ "$line" = ok ] && break
    echo "$line"
    [[ "$line" == error:* ]] && break
  done
  exec {fd}>&-
}
