#!/usr/bin/env bash
# Installs the Debian packages the project needs.
#
#   scripts/install-deps.sh build   building and running the gateway and its tools
#   scripts/install-deps.sh test    the build set and what the tests, benchmarks,
#                                   fuzzers and browser tests need
#   scripts/install-deps.sh [all]   the same as test
#
# Idempotent: packages already present are left alone, apt is only asked when
# something is missing.
set -euo pipefail

set_name=${1:-all}
case "$set_name" in
  build | test | all) ;;
  -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "install-deps: unknown set '$set_name' (build, test or all)" >&2; exit 2 ;;
esac

build_packages=(
  g++ cmake ninja-build pkg-config git
  dpkg-dev  # dpkg-buildflags (the hardening flags of the build) and dpkg-shlibdeps (the package)
  libboost1.81-dev zlib1g-dev libssl-dev
  libjs-chart.js  # Chart.js, compiled into the console page for the dashboard's charts
)
test_packages=(
  # certificates for the TLS tests
  openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-format
  clang-14 libclang-rt-14-dev
  chromium
  prometheus  # promtool, which checks the console's /metrics in the browser tests
  lintian  # checks the Debian package in the deploy.DebianPackage test
)

packages=("${build_packages[@]}")
if [ "$set_name" != build ]; then
  packages+=("${test_packages[@]}")
  # Node.js and npm for the browser tests; a node already on PATH, from any
  # source, will do.
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
  fi
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
  echo "install-deps: all packages of the $set_name set present"
fi
