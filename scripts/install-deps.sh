#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking need.
# Idempotent: packages already present are left alone, apt is only asked when
# something is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git
  libboost1.81-dev zlib1g-dev libssl-dev openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-format
  clang-14 libclang-rt-14-dev
  chromium
  libjs-chart.js  # Chart.js, compiled into the console page for the dashboard's charts
  prometheus  # promtool, which checks the console's /metrics in the browser tests
)
# Node.js and npm for the browser tests; a node already on PATH, from any
# source, will do.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: all packages present"
fi
